// The command-line form of the network conditions: `--latency MS[:JITTER]`,
// `--bandwidth KBPS`, `--slice BYTES[:DELAY_MS]`, `--cut-after BYTES[:close|:reset]` and
// `--reset-share PERCENT`. A value acts both ways unless it begins with "up:" (client to
// server) or "down:" (server to client); a later option overrides an earlier one for the
// directions it names. The same text, options and values separated by spaces, keeps the
// conditions in the settings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "capture/NetConditions.h"

// Whether `strName` (without the dashes: "latency", "cut-after") names a condition option.
bool IsNetConditionOption(std::string_view strName);

// Applies one option to `conditions`. False with a message that names the option and
// what it expects in *pstrError when the value is not valid; `conditions` is unchanged
// then.
bool ApplyNetConditionOption(std::string_view strName, std::string_view strValue,
                             CNetConditions& conditions, std::string* pstrError);

// "--latency up:200:20 --bandwidth down:500": options that give back `conditions`.
std::string FormatNetConditionArgs(const CNetConditions& conditions);
// The reverse; nullopt (with the reason) when the text is not a list of valid options.
std::optional<CNetConditions> ParseNetConditionArgs(std::string_view strArgs,
                                                    std::string* pstrError);
