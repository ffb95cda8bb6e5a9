// Waiting without freezing the window: every wait in the program lets queued window events run.
#pragma once

// Runs the window messages that are waiting, then returns.
void DoEvents();
// Sleeps about `ms` milliseconds, then lets pending window events run.
void SleepAndPump(unsigned ms);
