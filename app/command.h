#ifndef VELKOR_APP_COMMAND_H
#define VELKOR_APP_COMMAND_H

// Sends one command line to the logged-in shell and prints its output. Returns the exit status.
int commandCommand(int count, char** words);

#endif
