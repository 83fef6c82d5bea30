#include "support/MyFile.h"

CMyFile::~CMyFile() = default;
