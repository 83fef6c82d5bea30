// The traffic log of the program: its document, view and file commands behind ILogPane.
#pragma once

#include <memory>

#include "ui/LogPane.h"

// GUI thread.
std::unique_ptr<ILogPane> CreateLogPane();
