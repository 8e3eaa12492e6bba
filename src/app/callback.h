// Callback convention: every control names one callback, called with the
// panel, the control, the event, callback data and two event data words; it
// returns 0. The application context comes first.
#pragma once

struct App;

using SystemCallback = int (*)(App& app, int panel, int control, int event, void* callbackData, int eventData1,
                               int eventData2);

#define TEC_CALLBACK(name)                                                                                            \
    int name(App& app, int panel, int control, int event, void* callbackData, int eventData1, int eventData2)
