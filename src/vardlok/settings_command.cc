// vardlok settings [NAME [VALUE]]: the fields of "conf.bin" by name. Without
// a name every setting is shown, with a name its value, and with a value it
// is changed. Only the values the settings dialog offers are taken, so
// nothing written here is a setting the program was never meant to run with.
#include <algorithm>
#include <cstdio>
#include <string>

#include "core/backup_settings.h"
#include "vardlok/command_registry.h"
#include "vardlok/terminal.h"

namespace vardlok {
namespace {

constexpr uint32_t kLanguage = 0;  // no system object: the default setting

using Settings = vl::BackupSettings;

std::string onOff(bool on) { return on ? "on" : "off"; }

bool parseOnOff(const std::string& word, bool* on) {
  if (word != "on" && word != "off") return false;
  *on = word == "on";
  return true;
}

// A number that must be one of `allowed`.
template <typename Value, size_t N>
bool parseOneOf(const std::string& word, const uint32_t (&allowed)[N], Value* value) {
  uint32_t number = 0;
  if (!parseNumber(word, &number) || std::find(allowed, allowed + N, number) == allowed + N) {
    return false;
  }
  *value = static_cast<Value>(number);
  return true;
}

constexpr uint32_t kIntervals[] = {7200, 10800, 14400, 21600, 43200, 86400, 172800};
constexpr uint32_t kArchiveSteps[] = {5, 10, 20, 30, 40};
constexpr uint32_t kRetentionDays[] = {30, 60, 90};

// One field of "conf.bin": its name, the values it takes (for messages),
// how it is shown and how a value is taken (false: not one it takes).
struct Field {
  const char* name;
  const char* values;
  std::string (*show)(const Settings&);
  bool (*set)(const std::string&, Settings*);
};

// A switch stored as `member` (1 = on), shown on|off, inverted when `Inverse`.
template <uint8_t Settings::*member, bool Inverse>
Field switchField(const char* name) {
  return Field{name, "on|off",
               [](const Settings& s) { return onOff((s.*member != 0) != Inverse); },
               [](const std::string& word, Settings* s) {
                 bool on = false;
                 if (!parseOnOff(word, &on)) return false;
                 s->*member = (on != Inverse) ? 1 : 0;
                 return true;
               }};
}

const std::vector<Field>& fields() {
  static const std::vector<Field> all = {
      switchField<&Settings::include_hidden, false>("include-hidden"),
      {"interval", "7200|10800|14400|21600|43200|86400|172800 (seconds)|manual",
       [](const Settings& s) {
         return s.interval == vl::kManualBackupsOnly ? std::string("manual")
                                                     : std::to_string(s.interval);
       },
       [](const std::string& word, Settings* s) {
         if (word == "manual") {
           s->interval = vl::kManualBackupsOnly;
           return true;
         }
         return parseOneOf(word, kIntervals, &s->interval);
       }},
      switchField<&Settings::compress, false>("compress"),
      switchField<&Settings::transport_encryption, false>("transport-encryption"),
      {"copy-count", "1..65535",
       [](const Settings& s) { return std::to_string(s.copy_count_parameter); },
       [](const std::string& word, Settings* s) {
         uint32_t number = 0;
         if (!parseNumber(word, &number) || number == 0 || number > 65535) return false;
         s->copy_count_parameter = static_cast<uint16_t>(number);
         return true;
       }},
      {"archive-every", "off|5|10|20|30|40",
       [](const Settings& s) {
         return s.archive_every == 0 ? std::string("off") : std::to_string(s.archive_every);
       },
       [](const std::string& word, Settings* s) {
         if (word == "off") {
           s->archive_every = 0;
           return true;
         }
         return parseOneOf(word, kArchiveSteps, &s->archive_every);
       }},
      switchField<&Settings::quick_compare, true>("content-comparison"),
      {"retention-days", "30|60|90",
       [](const Settings& s) { return std::to_string(s.retention_days); },
       [](const std::string& word, Settings* s) {
         return parseOneOf(word, kRetentionDays, &s->retention_days);
       }},
      switchField<&Settings::no_exclusion_warning, true>("exclusion-warning"),
  };
  return all;
}

const Field* fieldNamed(const std::string& name) {
  for (const Field& field : fields()) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

int runSettings(const Args& args) {
  if (args.size() > 2) return usageError("settings");
  const Field* field = nullptr;
  if (!args.empty() && (field = fieldNamed(args[0])) == nullptr) {
    std::string names;
    for (const Field& f : fields()) names += std::string(names.empty() ? "" : ", ") + f.name;
    say(kLanguage, "Fel: Okänd inställning '" + args[0] + "'. Inställningarna är: " + names,
        "Error: Unknown setting '" + args[0] + "'. The settings are: " + names);
    return kUsage;
  }
  if (!enterWorkingFolder(kLanguage)) return kFailed;
  Settings settings = vl::loadSettings();
  if (args.empty()) {
    for (const Field& f : fields()) std::printf("%s %s\n", f.name, f.show(settings).c_str());
    return kSucceeded;
  }
  if (args.size() == 1) {
    std::printf("%s\n", field->show(settings).c_str());
    return kSucceeded;
  }
  if (!field->set(args[1], &settings)) {
    say(kLanguage,
        "Fel: Felaktigt värde '" + args[1] + "' för " + field->name + "; tillåtna värden: " +
            field->values,
        "Error: Bad value '" + args[1] + "' for " + field->name + "; allowed values: " +
            field->values);
    return kUsage;
  }
  if (!vl::saveSettings(settings)) {
    say(kLanguage, "Fel: Kunde inte spara inställningarna.", "Error: Could not save the settings.");
    return kFailed;
  }
  return kSucceeded;
}

}  // namespace

VARDLOK_COMMAND("settings",
                "vardlok settings [NAME [VALUE]]\n"
                "    show all settings, one, or change one: include-hidden, compress,\n"
                "    transport-encryption, content-comparison, exclusion-warning (on|off),\n"
                "    interval (seconds or manual), copy-count, archive-every (off|5..40),\n"
                "    retention-days (30|60|90)\n",
                runSettings);

}  // namespace vardlok
