#ifndef VELKOR_APP_COMMAND_H
#define VELKOR_APP_COMMAND_H

// Sends one command line to the logged-in shell and prints its output. Returns the exit status:
// 0 when the prompt came back, 1 otherwise (also when the handset was not found or the command
// is too long).
int commandCommand(int count, char** words);

#endif
