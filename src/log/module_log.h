// The log's part in the module's start and stop.
#pragma once

namespace IOPlugin {

// Takes the Logger, switches it off as the module ships, opens it and writes "Module init",
// the first time it is called; registers the stop step ("Module destroy") so that it runs at
// unload after everything built later is gone and before the Logger itself is destroyed.
// Static initialisers that must come after the log's start call it first.
void startModuleLog();

} // namespace IOPlugin
