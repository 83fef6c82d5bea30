// The icons of the window: the desktop theme's, by their freedesktop names, with small
// images of our own where the theme has none, so that no button is ever empty.
#pragma once

#include <QIcon>

// GUI thread. The theme icon `pszName`, else our own image of that name.
QIcon ThemeIcon(const char* pszName);
// The program's own icon.
QIcon AppIcon();
