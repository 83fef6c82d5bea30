// Making the folders of a file path.
#pragma once

#include <string>

// Makes sure every folder of the file path `path` exists, creating the missing ones from
// the outermost in; the file itself is not created. A path that ends with '/' is all
// folders; one that names an existing folder needs nothing. Folders that exist already
// (or that another thread creates meanwhile) are fine. Raises a `CException*` with the
// folder and the system's error when one cannot be created.
void CreatePathFolders(const std::wstring& path);
