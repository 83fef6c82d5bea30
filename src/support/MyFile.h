// The program's own file class between CFile and the files it writes.
#pragma once

#include "support/File.h"

class CMyFile : public CFile {
public:
    CMyFile() = default;
    ~CMyFile() override;
};
