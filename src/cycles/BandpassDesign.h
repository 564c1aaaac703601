// The band-pass filter that isolates the fundamental of the reference
// voltage before its zero crossings are searched.
#pragma once

#include <vector>

namespace powergpu::cycles {

// Linear-phase taps (an odd count, at least 5) with unit gain at the
// nominal frequency f0: a Blackman-windowed difference of two sinc
// low-passes at 1.5 f0 and 0.5 f0, round(filterCycles fs / f0) taps made
// odd. Pass band about 0.8 .. 1.2 f0, stop bands below 0.2 f0 and above
// 1.8 f0 (about -74 dB, the Blackman window's side lobes). Computed in
// double; the caller checks the arguments.
std::vector<double> designBandpass(double sampleRate, double nominalFrequency, double filterCycles);

// The tap count designBandpass gives for these arguments.
long long bandpassTapCount(double sampleRate, double nominalFrequency, double filterCycles);

}  // namespace powergpu::cycles
