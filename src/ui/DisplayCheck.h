// Whether a window can be shown at all: without a display the window system would end the
// program before it can say why.
#pragma once

#include <string>

// Any thread. Empty when a display is there (or a Qt platform is chosen explicitly);
// otherwise the reason, for the one line the program prints.
std::string MissingDisplayReason();
