// A registry of its own for a test: the store and the home folder in a fresh temporary
// folder, with the environment and the connections restored afterwards.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "TempFolder.h"
#include "platform/Registry.h"

class CEnvironmentVariable {
public:
    CEnvironmentVariable(const char* pszName, const std::string& strValue) : m_strName(pszName) {
        if (const char* psz = std::getenv(pszName)) {
            m_saved = psz;
        }
        ::setenv(pszName, strValue.c_str(), 1);
    }
    ~CEnvironmentVariable() {
        if (m_saved) {
            ::setenv(m_strName.c_str(), m_saved->c_str(), 1);
        } else {
            ::unsetenv(m_strName.c_str());
        }
    }
    CEnvironmentVariable(const CEnvironmentVariable&) = delete;
    CEnvironmentVariable& operator=(const CEnvironmentVariable&) = delete;

private:
    std::string m_strName;
    std::optional<std::string> m_saved;
};

class CTempRegistry {
public:
    CTempRegistry()
        : m_config("XDG_CONFIG_HOME", m_dir.Path("config")), m_home("HOME", m_dir.Path("home")) {
        ::mkdir(m_dir.Path("home").c_str(), 0700);
    }
    ~CTempRegistry() { win::RegResetStoreConnections(false); }
    CTempRegistry(const CTempRegistry&) = delete;
    CTempRegistry& operator=(const CTempRegistry&) = delete;

    const CTempFolder& Folder() const { return m_dir; }
    std::string StoreFolder() const { return m_dir.Path("config/Velmor/Tapvane"); }
    std::string StoreFile() const { return StoreFolder() + "/registry.db"; }
    std::string Home() const { return m_dir.Path("home"); }

private:
    CTempFolder m_dir;
    CEnvironmentVariable m_config;
    CEnvironmentVariable m_home;
};
