#include "capture/ResponseFile.h"

#include "module/MyModule.h"
#include "platform/TextConv.h"
#include "support/Exception.h"
#include "support/PathFolders.h"

namespace {

void LogBold(const std::wstring& strText) {
    CModuleLock lock;
    g_Module.AppendLog(strText, LOG_STYLE_BOLD);
    g_Module.AppendLog(L"", LOG_STYLE_PLAIN);
}

}  // namespace

CResponseFile::~CResponseFile() = default;

void CResponseFile::Write(const void* pBuffer, UINT nCount) {
    if (IsOpen()) {
        CFile::Write(pBuffer, nCount);
    }
}

void CResponseFile::Close() {
    if (IsOpen()) {
        CFile::Close();
    }
}

void CResponseFile::OpenResponse(const std::wstring& strPath, bool bText) {
    if (IsOpen()) {
        return;
    }
    std::wstring strMessage;
    try {
        CreatePathFolders(strPath);
        Open(strPath.c_str(), modeCreate | modeWrite | shareExclusive | typeBinary);
        if (bText) {
            static constexpr unsigned char kMark[2] = {0xFF, 0xFE};
            Write(kMark, sizeof kMark);
        }
        LogBold(L"\nSave to \"" + strPath + L"\"\n");
        return;
    } catch (CFileException* e) {
        strMessage = e->GetErrorMessage(255);
        delete e;
    } catch (CException* e) {
        strMessage = e->GetText();
        delete e;
    } catch (...) {
        strMessage = L"Unhandled exception!!!";
    }
    // A file that opened but took no byte-order mark is not kept open half-written.
    try {
        CFile::Close();
    } catch (CFileException* e) {
        delete e;
    }
    LogBold(L"\nOpen \"" + strPath + L"\" failed! " + strMessage + L"\n");
}

void CResponseFile::WriteText(std::wstring_view line) {
    if (!IsOpen() || line.empty()) {
        return;
    }
    WriteUtf16(win::WideToUtf16(line));
}

void CResponseFile::WriteUtf16(std::u16string_view units) {
    if (!IsOpen() || units.empty()) {
        return;
    }
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t u : units) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    CFile::Write(bytes.data(), static_cast<UINT>(bytes.size()));
}
