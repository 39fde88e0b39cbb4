#pragma once
// The commands of brevane-cli, one function each; main picks one by name.
// Each returns the program's exit status.
#include "Options.h"

namespace cli {

int CmdFamilies(const Options& o);    // InfoCommands.cpp
int CmdShow(const Options& o);        // InfoCommands.cpp
int CmdDiscover(const Options& o);    // SearchCommand.cpp
int CmdRead(const Options& o);        // TransferCommands.cpp
int CmdWrite(const Options& o);       // TransferCommands.cpp
int CmdSetSerial(const Options& o);   // TransferCommands.cpp

}  // namespace cli
