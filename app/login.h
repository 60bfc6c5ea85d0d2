#ifndef VELKOR_APP_LOGIN_H
#define VELKOR_APP_LOGIN_H

class CTextCallback;
class CUsbHandler;

// Logs the shell in and leaves it logged in. words[0] is the word "login".
// Returns the exit status: 0 when the shell prompt was reached, 2 when the
// login failed, 1 when the handset was not found.
int loginCommand(int count, char** words);

// The login dialogue on a connected, receiving link. Returns 1 when the shell
// prompt was reached, 0 after printing what went wrong.
int shellLogin(const char* user, const char* password, CTextCallback* callback, CUsbHandler* link);

// Splits a "/login" value in place at its first comma: the text before it is
// the user name, the text after it the password (empty when there is none).
void splitLoginValue(char* value, const char** user, const char** password);

#endif
