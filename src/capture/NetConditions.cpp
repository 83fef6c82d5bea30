#include "capture/NetConditions.h"

#include <functional>
#include <mutex>
#include <vector>

namespace {

std::mutex g_activeMutex;
std::shared_ptr<const CNetConditions> g_pActive;  // g_activeMutex

// One kind of condition: its text for one direction, empty when it is not set there.
using Describer = std::function<std::string(const CDirectionConditions&)>;

void AddKind(std::vector<std::string>& parts, const CNetConditions& c, const Describer& fn) {
    const std::string up = fn(c.up);
    const std::string down = fn(c.down);
    if (up == down) {
        if (!up.empty()) {
            parts.push_back(up);
        }
        return;
    }
    if (!up.empty()) {
        parts.push_back(up + " up");
    }
    if (!down.empty()) {
        parts.push_back(down + " down");
    }
}

}  // namespace

std::string DescribeNetConditions(const CNetConditions& conditions) {
    std::vector<std::string> parts;
    AddKind(parts, conditions, [](const CDirectionConditions& d) {
        if (d.nLatencyMs == 0 && d.nJitterMs == 0) {
            return std::string();
        }
        std::string text = "latency " + std::to_string(d.nLatencyMs) + " ms";
        if (d.nJitterMs != 0) {
            text += " \xC2\xB1" + std::to_string(d.nJitterMs);
        }
        return text;
    });
    AddKind(parts, conditions, [](const CDirectionConditions& d) {
        return d.nBandwidthKBps == 0 ? std::string() : std::to_string(d.nBandwidthKBps) + " KB/s";
    });
    AddKind(parts, conditions, [](const CDirectionConditions& d) {
        if (d.nSliceBytes == 0) {
            return std::string();
        }
        return "slices of " + std::to_string(d.nSliceBytes) + " B, " +
               std::to_string(d.nSliceDelayMs) + " ms apart";
    });
    AddKind(parts, conditions, [](const CDirectionConditions& d) {
        if (d.nCutAfter == 0) {
            return std::string();
        }
        return "cut after " + std::to_string(d.nCutAfter) + " B (" +
               (d.bCutReset ? "reset" : "close") + ")";
    });
    AddKind(parts, conditions, [](const CDirectionConditions& d) {
        return d.nResetShare == 0 ? std::string()
                                  : "reset " + std::to_string(d.nResetShare) + " % of connections";
    });
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty()) {
            text += ", ";
        }
        text += part;
    }
    return text;
}

std::shared_ptr<const CNetConditions> ActiveNetConditions() {
    std::lock_guard lock(g_activeMutex);
    return g_pActive;
}

void SetActiveNetConditions(const CNetConditions& conditions) {
    std::shared_ptr<const CNetConditions> pNew;
    if (conditions.IsActive()) {
        pNew = std::make_shared<const CNetConditions>(conditions);
    }
    std::lock_guard lock(g_activeMutex);
    g_pActive = std::move(pNew);
}
