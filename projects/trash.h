#pragma once

class QString;

// Moves the file to the desktop trash, or removes it where there is no
// usable trash. True when the file is in a trash folder or gone; false, with
// the file left where it was, when neither worked. The file never ends up
// anywhere else.
bool trashOrRemove(const QString& path);
