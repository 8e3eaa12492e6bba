// The latest polled values of a controller.
#pragma once

// The latest polled SV and PV, in this order.
struct LiveSample {
    float sv = 0;
    float pv = 0;
};
