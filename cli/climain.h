#pragma once

#include <QString>

// Runs the command-line tool on the process's arguments and standard
// streams; the program and the demo program differ only in what they link
// and plug in before calling this, in what their --help adds at its end,
// in the adapter its examples name and in where the demo finds the shipped
// register maps (the build tree).
int runCliProgram(int argc, char* argv[], const QString& helpExtra = QString(),
                  const QString& exampleAdapter = QString(), bool demo = false);
