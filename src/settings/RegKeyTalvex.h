// The application's settings: HKEY_CURRENT_USER\SOFTWARE\Velmor\Tapvane\Config.
//
// Every read goes to the registry and every write is one registry value, so a value written
// anywhere is seen by the next read anywhere else; nothing is kept in memory. Missing keys
// and values give the defaults; other registry failures raise a CException* (see
// CRegkeyBase).
#pragma once

#include <string>

#include "settings/RegkeyBase.h"
#include "settings/ServerList.h"

class CRegKeyTalvex : public CRegkeyBase {
public:
    // `pszSuffix` goes between "SOFTWARE\Velmor\Tapvane" and "\Config"; the program passes
    // none.
    explicit CRegKeyTalvex(const wchar_t* pszSuffix = nullptr);
    ~CRegKeyTalvex() override;

    // "\Servers\<nServer>": the subkey of one server entry.
    static std::wstring ServerKeyName(LONG nServer);

    std::wstring GetServerURL(LONG nServer);
    DWORD GetServerPort(LONG nServer);
    DWORD GetServerPortRemote(LONG nServer);
    void SetServerURL(LONG nServer, const wchar_t* pszURL);
    void SetServerPort(LONG nServer, DWORD nPort);
    void SetServerPortRemote(LONG nServer, DWORD nPortRemote);

    // On exactly when the stored value is 1; off by default.
    bool GetReplaceHostHeader();
    void SetReplaceHostHeader(bool bReplace);

    // "Keep listening when the server cannot be reached": on exactly when the stored
    // value is 1.
    bool GetKeepListening();
    void SetKeepListening(bool bKeep);

    // On exactly when the stored value is 1; on by default.
    bool GetSaveResponse();
    void SetSaveResponse(bool bSave);

    // The folder for saved responses; DefaultDataFolder when none is stored.
    std::wstring GetDataFolder();
    void SetDataFolder(const wchar_t* pszFolder);

    // "Listen Address": who may connect to the relay, as CListenAddress reads it ("all",
    // "local" or an address); "all" by default.
    std::wstring GetListenAddress();
    void SetListenAddress(const wchar_t* pszAddress);

    // The TLS options (RegKeyTalvexTls.cpp). "Server uses TLS": 0 auto (on for an https://
    // URL), 1 on, 2 off. "Decrypt TLS from clients": 0 auto, 1 off. "Accept any server
    // certificate": on exactly when 1. "TLS passthrough hosts": host patterns, one a line.
    // "TLS key log file": empty for none.
    DWORD GetServerTls();
    void SetServerTls(DWORD nMode);
    DWORD GetClientTls();
    void SetClientTls(DWORD nMode);
    bool GetAcceptAnyServerCert();
    void SetAcceptAnyServerCert(bool bAccept);
    std::wstring GetTlsPassthrough();
    void SetTlsPassthrough(const wchar_t* pszPatterns);
    std::wstring GetKeyLogFile();
    void SetKeyLogFile(const wchar_t* pszPath);

    // The position of the selected entry in the connection bar's list (not a server number).
    // The network conditions (RegKeyTalvexConditions.cpp): whether they are on, the
    // conditions as command-line options ("--latency 200 --bandwidth down:500") and the
    // name of the preset they came from (empty: set by hand).
    bool GetNetConditionsOn();
    void SetNetConditionsOn(bool bOn);
    std::wstring GetNetConditions();
    void SetNetConditions(const wchar_t* pszOptions);
    std::wstring GetNetConditionsPreset();
    void SetNetConditionsPreset(const wchar_t* pszName);

    LONG GetDefaultServerID();
    void SetDefaultServerID(LONG nPosition);

    // Updates the ports of the entry whose URL is exactly `pszURL`, or adds an entry numbered
    // one above the largest number there is.
    void SetServer(const wchar_t* pszURL, DWORD nPort, DWORD nPortRemote);

    // Writes the built-in entries ("ftp://" 21, "http://" 80, ... with remote port 0).
    void AddDefaultServers();

    // Adds every entry to `list` with its ports and selects the stored position.
    void LoadServers(IServerList& list);

    // "SOFTWARE\Velmor\Tapvane\Config" (with the suffix, if any).
    const std::wstring& GetKeyPath() const { return GetBaseKey(); }

    // The desktop folder followed by "Tapvane/", created (with any missing parent) on every
    // call.
    static std::wstring DefaultDataFolder();
};
