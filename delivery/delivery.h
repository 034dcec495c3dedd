// Message delivery: the one thing the command does.
#ifndef TARNPOST_DELIVERY_DELIVERY_H
#define TARNPOST_DELIVERY_DELIVERY_H

// Why the last delivery failed; empty after a successful one. Lives as long as
// the process; callers only read it.
extern char errorText[1000];

// Leaves `message` in TARN_Message.txt in the user's profile directory and
// tells the running Receiver. Returns null when the Receiver accepted it,
// otherwise errorText.
const char* deliverMessage(const char* message);

#endif
