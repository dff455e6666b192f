#pragma once

// Where the window keeps its projects folder, for programs without the
// panel (the command-line tool, Python) that look for what lies beside it,
// such as the user's register maps.

#include <QString>

// The folder used when none is stored: "Tremwick/pellan_i2c/projects" in
// the user's documents location.
QString DefaultProjectsFolder();
// The folder the window's settings name ("projects/folder" of the
// organisation "Tremwick" and the application "pellan_i2c"), or the
// default; read without changing anything, whatever names the calling
// program gave itself.
QString StoredProjectsFolder();
