// The config command's option words: the option table, and the WLAN line,
// the telephony line and the login pair that the words ask for.
#ifndef VELKOR_APP_CONFIGOPTIONS_H
#define VELKOR_APP_CONFIGOPTIONS_H

// One line for the handset, built in a fixed buffer: its text with its CR LF
// and a terminating zero always fit.
struct ConfigLine {
  enum { size = 1024 };
  char text[size];
  int length;  // characters of text
};

struct ConfigRequest {
  ConfigLine wlan;   // always sent
  ConfigLine phone;  // sent when sendPhone is set
  bool sendPhone;    // a telephony option was accepted
  const char* user;  // the login pair: the defaults or a "/login" value's parts
  const char* password;
};

// Builds the request from the option words, printing what it drops. A
// "/login" value is cut at its first comma in place. Returns 0 when the
// dialogue may go on, 1 when the words are refused (an unrecognized option,
// or a line that would pass 1023 characters with its CR LF); nothing may be
// sent then.
int parseConfigOptions(int count, char** words, ConfigRequest* request);

#endif
