#ifndef VELKOR_APP_CONFIG_H
#define VELKOR_APP_CONFIG_H

// Applies WLAN and telephony settings; words are the option words. Returns the exit status.
int configCommand(int count, char** words);

#endif
