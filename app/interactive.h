#ifndef VELKOR_APP_INTERACTIVE_H
#define VELKOR_APP_INTERACTIVE_H

// A terminal on the handset's shell until Ctrl-C. Returns the exit status:
// 0 after Ctrl-C, 1 when the handset was not found.
int interactiveCommand();

#endif
