#include "app/configoptions.h"

#include <stdio.h>
#include <string.h>

#include "app/config.h"
#include "app/login.h"
#include "app/trace.h"

static const char* const wepIndexValues[] = {"1", "2", "3", "4"};
static const char* const cipherValues[] = {"none",     "wep",      "wep128", "tkip",
                                           "aes-wrap", "aes-ccmp", "ckip"};
static const char* const securityModeValues[] = {"open", "wpa-psk",       "wpa2-psk",
                                                 "leap", "peap-mschapv2", "eap-md5"};
static const char* const assocValues[] = {"none", "wpa", "wpa2"};
static const char* const authValues[] = {"none", "eap-md5", "leap", "peap-mschapv2"};
static const char* const regdomainValues[] = {"world", "usa", "canada", "etsi", "spain", "france"};
static const char* const powerSaveValues[] = {"active", "poll", "uapsd"};
// Shared by /power-mode and /power-mode-call.
static const char* const powerModeValues[] = {"active", "short-doze", "long-doze"};
static const char* const protValues[] = {"h323", "sip"};

#define VALUES(list) list, (int)(sizeof list / sizeof list[0])

const ConfigOption configOptions[] = {
    {"/ssid", NULL, 0, configWlanLine},
    {"/wep-key", NULL, 0, configWlanLine},
    {"/wep-index", VALUES(wepIndexValues), configWlanLine},
    {"/cipher", VALUES(cipherValues), configWlanLine},
    {"/security-mode", VALUES(securityModeValues), configWlanLine},
    {"/assoc", VALUES(assocValues), configWlanLine},
    {"/auth", VALUES(authValues), configWlanLine},
    {"/passphrase", NULL, 0, configWlanLine},
    {"/user", NULL, 0, configWlanLine},
    {"/password", NULL, 0, configWlanLine},
    {"/regdomain", VALUES(regdomainValues), configWlanLine},
    {"/power-save", VALUES(powerSaveValues), configWlanLine},
    {"/power-mode", VALUES(powerModeValues), configWlanLine},
    {"/power-mode-call", VALUES(powerModeValues), configWlanLine},
    {"/gk-addr", NULL, 0, configPhoneLine},
    {"/e164", NULL, 0, configPhoneLine},
    {"/h323", NULL, 0, configPhoneLine},
    {"/prot", VALUES(protValues), configPhoneLine},
    {"/login", NULL, 0, configLogin},
};
const int configOptionCount = (int)(sizeof configOptions / sizeof configOptions[0]);

bool isOneOf(const char* value, const char* const* list, int count) {
  for (int i = 0; i < count; i++)
    if (strcmp(value, list[i]) == 0) return true;
  return false;
}

// The longest line, its CR LF included (a terminating zero follows it).
static const int configLineMax = ConfigLine::size - 1;

static void startLine(ConfigLine* line, const char* text) {
  line->length = snprintf(line->text, sizeof line->text, "%s", text);
}

// Appends " option value"; false, with nothing appended, when the line and
// its CR LF would no longer fit.
static bool appendOption(ConfigLine* line, const char* option, const char* value) {
  size_t added = 1 + strlen(option) + 1 + strlen(value);
  if ((size_t)line->length + added + 2 > (size_t)configLineMax) return false;
  line->length += snprintf(line->text + line->length, sizeof line->text - line->length, " %s %s",
                           option, value);
  return true;
}

static void endLine(ConfigLine* line) {
  line->length += snprintf(line->text + line->length, sizeof line->text - line->length, "\r\n");
}

int parseConfigOptions(int count, char** words, ConfigRequest* request) {
  ConfigLine& wlan = request->wlan;
  ConfigLine& phone = request->phone;
  startLine(&wlan, "config change WLANMGR0");
  startLine(&phone, "config change PHONE SIG");
  const int phoneStart = phone.length;
  request->user = "admin";
  request->password = "kv30";

  for (int i = 0; i < count; i++) {
    const char* word = words[i];
    const ConfigOption* option = NULL;
    for (int k = 0; k < configOptionCount; k++) {
      if (strcmp(word, configOptions[k].word) == 0) {
        option = &configOptions[k];
        break;
      }
    }
    if (option == NULL) {
      printf("velkor: unrecognized option: %s\n", word);
      return 1;
    }
    i++;
    if (i >= count) {
      printf("velkor: missing option to %s\n", option->word);
      break;
    }
    char* value = words[i];
    if (option->target == configLogin) {
      splitLoginValue(value, &request->user, &request->password);
      if (traceEnabled) {
        printf("velkor: using login (%s,%s)\n", request->user, request->password);
      }
      continue;
    }
    if (option->values != NULL && !isOneOf(value, option->values, option->valueCount)) {
      printf("velkor: unexpected option to %s\n", option->word);
      continue;
    }
    if (!appendOption(option->target == configWlanLine ? &wlan : &phone, option->word, value)) {
      printf("velkor: configuration line too long (at most %d characters).\n", configLineMax);
      return 1;
    }
  }
  endLine(&wlan);
  request->sendPhone = phone.length != phoneStart;
  if (request->sendPhone) endLine(&phone);
  return 0;
}
