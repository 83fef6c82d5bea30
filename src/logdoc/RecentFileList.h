// The list of the most recently saved or loaded log files, most recent first, kept in the
// registry under "Recent Document List" of the settings key. Paths are kept whole, however
// long: a path cut short could name another file. Only the menu text is shortened.
// GUI thread only.
#pragma once

#include <string>
#include <vector>

class CRecentFileList {
public:
    static constexpr int kDefaultMaxEntries = 4;
    // The registry values "Document1".."Document15" are the list's possible places.
    static constexpr int kMaxValueNumber = 15;
    // Menu texts show at most this many characters of a path.
    static constexpr std::size_t kMaxDisplayChars = 64;

    explicit CRecentFileList(int nMaxEntries = kDefaultMaxEntries);

    // Puts the path at the top; an entry equal to it without regard to case goes first,
    // and the oldest entry goes when the list is full.
    void Add(const std::wstring& strPath);
    void MoveToTop(int nIndex);
    void Remove(int nIndex);

    int GetCount() const { return static_cast<int>(m_entries.size()); }
    int GetMaxEntries() const { return m_nMaxEntries; }
    // The entry at nIndex (0 the most recent); empty when there is none.
    std::wstring Get(int nIndex) const;
    const std::vector<std::wstring>& GetEntries() const { return m_entries; }

    // "<settings key>\Recent Document List".
    static std::wstring KeyPath();
    // Reads the list: "DocumentCount" sets the maximum, then "Document<max>".."Document1"
    // that exist are added, so that number 1 ends up on top. Registry failures leave the
    // list as it is.
    void ReadFromRegistry();
    // Writes "DocumentCount" (the maximum), "Document1".."DocumentN" and deletes the values
    // numbered N+1 to 15. Registry failures are ignored.
    void WriteToRegistry() const;

    // The path shortened for a menu: the first folder, "...", and as much of the end as
    // fits kMaxDisplayChars (the file name whole when it alone is longer).
    static std::wstring DisplayPath(const std::wstring& strPath);
    // "&<n> <path>" as the menu shows entry nIndex (numbered from 1).
    std::wstring MenuText(int nIndex) const;

private:
    int m_nMaxEntries;
    std::vector<std::wstring> m_entries;
};
