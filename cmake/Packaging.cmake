# Install rules and the CPack ZIP of the Windows program
