// The trace channel's undo at unload. This library is never unloaded (it is linked with
// nodelete, as mounted volumes outlive any one handle to it), so nothing is kept. A program that
// also links the plug-in's own code takes that code's version instead.
bool RegisterShutdownStep(void (*)()) { return true; }
