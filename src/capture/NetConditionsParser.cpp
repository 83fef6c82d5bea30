#include "capture/NetConditionsParser.h"

#include <array>
#include <charconv>
#include <vector>

namespace {

constexpr int kMaxMs = 600000;               // ten minutes
constexpr int kMaxKBps = 10000000;           // 10 GB/s: more than any link here
constexpr int kMaxSlice = 1 << 20;           // a piece of at most 1 MiB
constexpr std::int64_t kMaxCut = 1LL << 50;  // a petabyte

struct COptionSpec {
    std::string_view name;
    std::string_view syntax;
};

constexpr std::array<COptionSpec, 5> kOptions = {{
    {"latency", "MS[:JITTER] (milliseconds, 0 to 600000)"},
    {"bandwidth", "KBPS (KB a second, 1 KB = 1000 bytes; 0 to 10000000, 0 = no limit)"},
    {"slice", "BYTES[:DELAY_MS] (a piece of 1 to 1048576 bytes, 0 = no slicing)"},
    {"cut-after", "BYTES[:close|:reset] (0 = no cut)"},
    {"reset-share", "PERCENT (0 to 100)"},
}};

const COptionSpec* FindSpec(std::string_view strName) {
    for (const COptionSpec& option : kOptions) {
        if (option.name == strName) {
            return &option;
        }
    }
    return nullptr;
}

// A whole decimal number within [0, nMax]; nothing else around it.
std::optional<std::int64_t> ParseNumber(std::string_view text, std::int64_t nMax) {
    std::int64_t nValue = 0;
    const char* pEnd = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), pEnd, nValue);
    if (text.empty() || ec != std::errc() || ptr != pEnd || nValue < 0 || nValue > nMax) {
        return std::nullopt;
    }
    return nValue;
}

std::vector<std::string_view> SplitColons(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t nColon = text.find(':');
        parts.push_back(text.substr(0, nColon));
        if (nColon == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(nColon + 1);
    }
}

// The option's value for one direction; false when it does not fit the option.
bool ApplyTo(std::string_view strName, const std::vector<std::string_view>& parts,
             CDirectionConditions& d) {
    if (strName == "latency") {
        if (parts.size() > 2) {
            return false;
        }
        const auto nMs = ParseNumber(parts[0], kMaxMs);
        const auto nJitter = parts.size() == 2 ? ParseNumber(parts[1], kMaxMs) : 0;
        if (!nMs || !nJitter) {
            return false;
        }
        d.nLatencyMs = static_cast<int>(*nMs);
        d.nJitterMs = static_cast<int>(*nJitter);
        return true;
    }
    if (strName == "bandwidth") {
        const auto nKBps = parts.size() == 1 ? ParseNumber(parts[0], kMaxKBps) : std::nullopt;
        if (!nKBps) {
            return false;
        }
        d.nBandwidthKBps = static_cast<int>(*nKBps);
        return true;
    }
    if (strName == "slice") {
        if (parts.size() > 2) {
            return false;
        }
        const auto nBytes = ParseNumber(parts[0], kMaxSlice);
        const auto nDelay = parts.size() == 2 ? ParseNumber(parts[1], kMaxMs) : 0;
        if (!nBytes || !nDelay) {
            return false;
        }
        d.nSliceBytes = static_cast<int>(*nBytes);
        d.nSliceDelayMs = *nBytes == 0 ? 0 : static_cast<int>(*nDelay);
        return true;
    }
    if (strName == "cut-after") {
        if (parts.size() > 2 || (parts.size() == 2 && parts[1] != "close" && parts[1] != "reset")) {
            return false;
        }
        const auto nBytes = ParseNumber(parts[0], kMaxCut);
        if (!nBytes) {
            return false;
        }
        d.nCutAfter = *nBytes;
        d.bCutReset = *nBytes != 0 && parts.size() == 2 && parts[1] == "reset";
        return true;
    }
    // reset-share
    const auto nShare = parts.size() == 1 ? ParseNumber(parts[0], 100) : std::nullopt;
    if (!nShare) {
        return false;
    }
    d.nResetShare = static_cast<int>(*nShare);
    return true;
}

}  // namespace

bool IsNetConditionOption(std::string_view strName) {
    return FindSpec(strName) != nullptr;
}

bool ApplyNetConditionOption(std::string_view strName, std::string_view strValue,
                             CNetConditions& conditions, std::string* pstrError) {
    const COptionSpec* pSpec = FindSpec(strName);
    if (pSpec == nullptr) {
        *pstrError = "unknown network condition --" + std::string(strName);
        return false;
    }
    bool bUp = true;
    bool bDown = true;
    std::string_view value = strValue;
    if (value.starts_with("up:")) {
        bDown = false;
        value.remove_prefix(3);
    } else if (value.starts_with("down:")) {
        bUp = false;
        value.remove_prefix(5);
    }
    CNetConditions result = conditions;
    const std::vector<std::string_view> parts = SplitColons(value);
    if ((bUp && !ApplyTo(strName, parts, result.up)) ||
        (bDown && !ApplyTo(strName, parts, result.down))) {
        *pstrError = "--" + std::string(strName) + " \"" + std::string(strValue) +
                     "\": expected [up:|down:]" + std::string(pSpec->syntax);
        return false;
    }
    conditions = result;
    return true;
}

namespace {

// The options of one kind: one for both ways when they agree, else one per direction.
void FormatKind(std::string& text, std::string_view strName, const std::string& up,
                const std::string& down, bool bUpSet, bool bDownSet) {
    auto add = [&](std::string_view prefix, const std::string& value) {
        if (!text.empty()) {
            text += ' ';
        }
        text += "--";
        text += strName;
        text += ' ';
        text += prefix;
        text += value;
    };
    if (up == down) {
        if (bUpSet) {
            add("", up);
        }
        return;
    }
    if (bUpSet) {
        add("up:", up);
    }
    if (bDownSet) {
        add("down:", down);
    }
}

}  // namespace

std::string FormatNetConditionArgs(const CNetConditions& c) {
    std::string text;
    auto latency = [](const CDirectionConditions& d) {
        return std::to_string(d.nLatencyMs) +
               (d.nJitterMs != 0 ? ":" + std::to_string(d.nJitterMs) : std::string());
    };
    FormatKind(text, "latency", latency(c.up), latency(c.down),
               c.up.nLatencyMs != 0 || c.up.nJitterMs != 0,
               c.down.nLatencyMs != 0 || c.down.nJitterMs != 0);
    FormatKind(text, "bandwidth", std::to_string(c.up.nBandwidthKBps),
               std::to_string(c.down.nBandwidthKBps), c.up.nBandwidthKBps != 0,
               c.down.nBandwidthKBps != 0);
    auto slice = [](const CDirectionConditions& d) {
        return std::to_string(d.nSliceBytes) + ":" + std::to_string(d.nSliceDelayMs);
    };
    FormatKind(text, "slice", slice(c.up), slice(c.down), c.up.nSliceBytes != 0,
               c.down.nSliceBytes != 0);
    auto cut = [](const CDirectionConditions& d) {
        return std::to_string(d.nCutAfter) + (d.bCutReset ? ":reset" : ":close");
    };
    FormatKind(text, "cut-after", cut(c.up), cut(c.down), c.up.nCutAfter != 0,
               c.down.nCutAfter != 0);
    FormatKind(text, "reset-share", std::to_string(c.up.nResetShare),
               std::to_string(c.down.nResetShare), c.up.nResetShare != 0, c.down.nResetShare != 0);
    return text;
}

std::optional<CNetConditions> ParseNetConditionArgs(std::string_view strArgs,
                                                    std::string* pstrError) {
    std::vector<std::string_view> words;
    while (!strArgs.empty()) {
        const std::size_t nStart = strArgs.find_first_not_of(' ');
        if (nStart == std::string_view::npos) {
            break;
        }
        strArgs.remove_prefix(nStart);
        const std::size_t nEnd = strArgs.find(' ');
        words.push_back(strArgs.substr(0, nEnd));
        strArgs.remove_prefix(nEnd == std::string_view::npos ? strArgs.size() : nEnd);
    }
    CNetConditions conditions;
    for (std::size_t i = 0; i < words.size(); i += 2) {
        if (!words[i].starts_with("--") || i + 1 >= words.size()) {
            *pstrError = "expected an option and its value at \"" + std::string(words[i]) + "\"";
            return std::nullopt;
        }
        if (!ApplyNetConditionOption(words[i].substr(2), words[i + 1], conditions, pstrError)) {
            return std::nullopt;
        }
    }
    return conditions;
}
