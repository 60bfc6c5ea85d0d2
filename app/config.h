#ifndef VELKOR_APP_CONFIG_H
#define VELKOR_APP_CONFIG_H

// Applies WLAN and telephony settings; words are the option words. Returns the exit status:
// 0 when the handset answered "ok" (with or without reset), 2 when the login or an awaited
// answer failed, 1 when the handset was not found or the options were refused before anything
// was sent.
int configCommand(int count, char** words);

// True when value equals one of the first count words of list (exact, case-sensitive).
bool isOneOf(const char* value, const char* const* list, int count);

// Where an accepted option goes.
enum ConfigTarget { configWlanLine, configPhoneLine, configLogin };

// One option word of the config command. An option with values == nullptr takes any value.
struct ConfigOption {
  const char* word;
  const char* const* values;
  int valueCount;
  ConfigTarget target;
};

// The option table, in the order the words are tried.
extern const ConfigOption configOptions[];
extern const int configOptionCount;

#endif
