// What tarnpost and the Receiver, TARN, agree on. TARN fixes these values;
// the command, the stand-in Receivers, the benchmark and the tests all take
// them from here. They are macros so that they join other string literals,
// and so that the class name exists as 8-bit and as UTF-16 text from one
// spelling. Nothing here depends on the system.
#ifndef TARNPOST_DELIVERY_RECEIVER_PROTOCOL_H
#define TARNPOST_DELIVERY_RECEIVER_PROTOCOL_H

// The window class of TARN's main window; its title is never looked at.
#define TARN_CLASS_NAME "AfxTarnAppClassName"
#define TARN_CLASS_NAME_W TARN_WIDE_TEXT(TARN_CLASS_NAME)

// The window message that tells TARN a message is waiting (WM_APP). It
// carries no data: wParam and lParam are 0, the text is in the file.
#define TARN_MESSAGE_WAITING 0x8000u

// The window message every window answers by doing nothing (WM_NULL). TARN
// handles the messages sent to its window in turn, so its answer says that
// every message sent before it was handled.
#define TARN_NO_OPERATION 0x0000u

// The file in the user's profile directory that TARN reads the message from.
#define TARN_MESSAGE_FILE_NAME "TARN_Message.txt"

// L"text" from the string literal that `text` expands to.
#define TARN_WIDE_TEXT(text) TARN_WIDE_TEXT_(text)
#define TARN_WIDE_TEXT_(text) L##text

#endif
