// The command-line driver: banner, scan of the words, dispatch to one command.
#ifndef VELKOR_APP_MAIN_H
#define VELKOR_APP_MAIN_H

// Runs one command for the process's words and returns its exit status.
int velkorMain(int argc, char** argv);
// Prints the usage text.
void printUsage();

#endif
