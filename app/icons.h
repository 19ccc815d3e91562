// Pictures drawn in code: the program's icon and the choose-file button's glyph.
#pragma once

#include <QIcon>

/// The window icon: a 32 x 32 and a 16 x 16 picture of a small trend display.
QIcon ProgramIcon();

/// The choose-file glyph (an open folder) with separate enabled and disabled looks.
QIcon FolderGlyph();
