// A fresh folder under the system's temporary folder, removed with all it holds.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

class CTempFolder {
public:
    CTempFolder() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tapvane-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        m_path = tmpl;
    }
    ~CTempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    // The 8-bit path of `name` inside the folder (the folder itself for an empty name).
    std::string Path(const std::string& name = {}) const {
        return name.empty() ? m_path : m_path + "/" + name;
    }
    // The same as wide text (the test names are ASCII).
    std::wstring WPath(const std::string& name = {}) const {
        const std::string s = Path(name);
        return std::wstring(s.begin(), s.end());
    }

    void WriteFile(const std::string& name, const std::string& content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
    }
    std::string ReadFile(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string m_path;
};
