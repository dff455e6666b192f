#pragma once

// Creates the application and its main window and runs the event loop; the
// program and the demo program differ only in what they link and plug in
// before calling this.
int runApplication(int argc, char* argv[]);
