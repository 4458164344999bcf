// The module's static start-up and shutdown: each start-up step registers its undo, and shutdown
// runs the undos in reverse order.
#pragma once

typedef void (*ShutdownStep)();

// Runs the start-up steps once: registers the interface entries, initialises the module lock and
// starts tracing. Later calls do nothing until ModuleStaticShutdown.
void ModuleStaticStartup();
// Runs every registered undo, newest first.
void ModuleStaticShutdown();
// Adds an undo to run at shutdown; false when the table of undos is full.
bool RegisterShutdownStep(ShutdownStep step);
