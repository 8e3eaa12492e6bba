// Main-panel indicators that several operations share, each kept by one rule.
#pragma once

struct App;

// Shows control function f on the selector and remembers it as the one the
// selector shows, so a refused change can put back exactly what was there.
void ShowControlFunction(App& app, int f);

// The main panel's "No answer" sign: up while any running watch or poll (the
// alarm, auto-tune and step-program watches, the PV and chart polls) has
// missed its last three answers; down once each running one has answered.
void ShowNoAnswerSign(App& app);
