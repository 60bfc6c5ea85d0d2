#ifndef VELKOR_APP_LOGIN_H
#define VELKOR_APP_LOGIN_H

// Logs the shell in and leaves it logged in. words[0] is the word "login". Returns the exit status.
int loginCommand(int count, char** words);

#endif
