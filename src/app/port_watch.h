// The link lost: one place that marks it, whether a transaction found it or
// the run-time saw an idle port hang up.
#pragma once

struct App;

namespace comlink {

// Has the run-time report idle ports that hang up or fail, so that loss is
// seen at once and not only by the next transaction.
void WatchPortLoss(App& app);
// The port went away: it is closed, the link flags cleared, the timers that
// send stopped, the link LED put out and "Link lost" shown on the main and
// chart panels. No popup: a poll or an unattended run must not stop on one.
// Does nothing when the link is already down.
void MarkLinkLost(App& app);
// What the panels show of a lost link: the reconnection watch started
// (reconnect::NoteLost, once per loss) before anything stops, the timers that send stopped, the
// link LED out, "Link lost" on the main and chart panels. MarkLinkLost does
// it when the link was up; the link's own port-lost hook, which finds the
// port closed already, calls it directly.
void ShowLinkLost(App& app);
// A new link, or the lost one come back, clears the "Link lost" status.
void ClearLinkLost(App& app);

} // namespace comlink
