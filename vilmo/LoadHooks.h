// The program's start-up list: the class-load hooks of the SDK libraries linked into the
// application, run by the process entry before anything else, as class loading would.
#pragma once

// Runs each hook of the list once per process; later calls do nothing.
void runClassLoadHooks();
