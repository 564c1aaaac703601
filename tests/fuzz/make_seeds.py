#!/usr/bin/env python3
"""Writes the seed corpus of the flat-interface fuzzer.

Each seed is a call sequence in the fuzzer's input encoding: four bytes of
choices for the final check, then one opcode byte per call followed by its
argument bytes (indices into the fuzzer's value tables). The seeds start the
fuzzer from ordinary streams and from the hostile sequences it must survive,
so that it reaches deep states in seconds instead of hours.

    tests/fuzz/make_seeds.py [output folder]   # default: tests/fuzz/corpus

Keep the opcodes and table indices in step with flat_call_sequence_fuzzer.cpp.
"""
import pathlib
import sys

# Opcodes (the fuzzer takes the byte modulo 27).
BEGIN, END, BUFFER_LENGTH, SAMPLE_RATE, STATIC_FREQUENCY, VARIABLE_FREQUENCY = 0, 1, 2, 3, 4, 5
GRID, PERIOD_COUNT, HARMONIC, BOOL_SETTER, PLAIN_STORE, RVC = 6, 7, 8, 9, 10, 11
RESET, WRITE, SKIP, SCHEDULE, READY, GET_RESULTS = 12, 13, 14, 15, 17, 18
PERIOD_SCHEDULE, PERIOD_RESULTS, WAVEFORM, SYNC, RECREATE, ODD_ARGUMENTS = 20, 21, 22, 23, 24, 25
VOLTAGE_EVENTS = 26
# The voltage-event opcode's first byte (modulo 12): 9, 10 and 11 reach the
# grouped harmonic analysis, the flickermeters and the 10-s frequency, whose
# next byte (modulo 4) picks a setter (0..2) or the retrieval call (3).
IEC, FLICKER, TEN_SECOND = 9, 10, 11

# Indices into the fuzzer's tables.
LENGTH = {1000: 0, 256: 1, 512: 2, 2000: 3, 4096: 4, 100: 5, 64: 6, 0: 7, 1: 8, 3: 9, -1: 10, -5: 11,
          "min": 12, "max": 13, 2000000000: 14, 100000: 15}
RATE = {1000: 0, 2000: 1, 5000: 2, 10000: 3, 4000: 4, 0: 5, -1000: 6, "nan": 7, "inf": 8, 1e-3: 9, 1e9: 10}
POSITIONS = {1: 0, 2: 2, 10: 3, 0: 4, -1: 5}
# frequency(): a byte below 200 picks from the first five, else from all sixteen.
COMMON_FREQUENCY = {50: 0, 60: 1, 49.97: 2, 16.7: 3, 400: 4}
EDGE_FREQUENCY = {0: 5, -50: 6, "nan": 7, "inf": 8, "-inf": 9, "fs/2": 10, "below fs/2": 11, "fs": 12,
                  "10 fs": 13, 1e-300: 14, 1e300: 15}
ORDER = {1: 0, 10: 1, 40: 2, 50: 3, 0: 4, -5: 5, "max": 6, 1000000: 7}
BOOL = {"clarkeOrParkCurrents": 0, "clarkeOrParkVoltages": 1, "clarkeOrParkWaveforms": 2, "clarke": 3,
        "park": 4, "current": 5, "fullFft": 6, "fundamentalPeriodValues": 7, "interHarmonics": 8,
        "lineToLine": 9, "periodSymmetrical": 10, "periodValues": 11, "rvc": 12, "symmetrical": 13,
        "thd": 14, "waveforms": 15, "mechanicalAngleUsed": 16}
WRITE_COUNT = {200: 0, 100: 1, 1: 2, "ring": 3, "ring+1": 4, 0: 5, "max": 6, 4000: 7, 20000: 8, "ring/2": 9}
SKIP_COUNT = {1: 0, 100: 1, 0: 2, 1000: 3, 100000: 4, "max": 5}
WINDOW = {200: 0, 100: 1, 20: 2, "ring": 3, "ring+1": 4, 0: 5, -1: 6, "max": 7, 3: 8, 1000: 11}
FIRST = {"last": 0, "older": 1, "future": 2, "ring back": 3, "overwritten": 4, 0: 5}
MAX_COUNT = {4: 0, 1: 1, 0: 2, -1: 3, 2: 4, 16: 5}
CYCLES = {4: 0, 1: 1, 8: 2, 0: 3, 16: 4, -1: 5, "min": 6, 3: 7}
RESET_AT = {0: 0, 1000: 1, 123456789: 2, "near max": 3, "2^62": 4, 7: 5}


def frequency(value):
    if value in COMMON_FREQUENCY:
        return [0, COMMON_FREQUENCY[value]]
    return [255, EDGE_FREQUENCY[value]]


def header(grid=0, amplitude=10, outputs=0, first=0):
    return [grid, amplitude, outputs, first]


def configure(rate=1000, length=4096, grid=1, extra=()):
    """A bracketed configuration that rebuilds once."""
    calls = [BEGIN, SAMPLE_RATE, RATE[rate], POSITIONS[1], BUFFER_LENGTH, LENGTH[length],
             STATIC_FREQUENCY] + frequency(50) + [0, GRID, grid, HARMONIC, ORDER[10], 1]
    for name, value in extra:
        calls += [BOOL_SETTER, BOOL[name], int(value)]
    return calls + [END]


def write(count=200, signal=1, amplitude=100):
    return [WRITE, WRITE_COUNT[count], signal, amplitude]


def schedule(length=200, first="last", f=50):
    return [SCHEDULE, WINDOW[length], FIRST[first]] + frequency(f)


def cycles(count, f=50, valid=True):
    """count cycle entries following on from the last accepted one."""
    calls = [PERIOD_SCHEDULE, CYCLES[count], 0]
    for _ in range(count):
        calls += frequency(f) + [0, 0, 0 if valid else 255]
    return calls


def cycles_with_gap(gap):
    """Two cycles, the second gap sub-samples after the first ends, in one call."""
    jump = [255] + list(gap.to_bytes(8, "big"))
    return [PERIOD_SCHEDULE, CYCLES[4], 0] + frequency(50) + [0, 0, 0] + frequency(50) + [0] + jump + [0] \
        + frequency(50) + [0, 0, 0] + frequency(50) + [0, 0, 0]


def stream(windows=3):
    calls = [RESET, RESET_AT[0]]
    for _ in range(windows):
        calls += write() + schedule() + [SYNC, READY, GET_RESULTS, MAX_COUNT[4]]
    return calls


SEEDS = {
    # Ordinary use, every grid and the main options.
    **{f"stream_grid{grid}": header(grid=grid) + configure(grid=grid) + stream() for grid in range(8)},
    "stream_all_outputs": header(outputs=7) + configure(extra=[(name, True) for name in (
        "thd", "interHarmonics", "fullFft", "symmetrical", "lineToLine", "waveforms", "clarke", "park",
        "clarkeOrParkVoltages", "clarkeOrParkCurrents", "clarkeOrParkWaveforms")]) + stream(),
    "stream_variable_frequency": header() + configure() + [VARIABLE_FREQUENCY] + frequency(16.7) + frequency(60)
    + stream(),
    "stream_two_phase_line_to_line": header(grid=3) + configure(grid=5, extra=[("lineToLine", True)]) + stream(1),
    "stream_no_current": header(grid=1) + configure(extra=[("current", False)]) + stream(),
    "stream_10k": header() + configure(rate=10000, length=100000) + [RESET, 0] + write(4000) + schedule(200)
    + [SYNC, GET_RESULTS, 0],
    "period_values": header(grid=1) + configure(extra=[("periodValues", True), ("rvc", True)])
    + [RESET, 0] + write(4000) + cycles(8) + write(4000) + schedule(200) + [SYNC, GET_RESULTS, 0, PERIOD_RESULTS]
    + cycles(16) + [PERIOD_RESULTS],
    "period_fundamental_symmetrical": header(grid=1) + configure(
        extra=[("fundamentalPeriodValues", True), ("periodSymmetrical", True)])
    + [RESET, 0] + write(4000) + cycles(8) + schedule(200) + [SYNC, GET_RESULTS, 0, PERIOD_RESULTS],
    "voltage_events": header(grid=1) + configure(extra=[("periodValues", True)])
    + [VOLTAGE_EVENTS, 5, 1, VOLTAGE_EVENTS, 0, 0, VOLTAGE_EVENTS, 6, 1] + [RESET, 0] + write(4000) + cycles(16)
    + schedule(200) + [SYNC, GET_RESULTS, 0, PERIOD_RESULTS, VOLTAGE_EVENTS, 7, 0, VOLTAGE_EVENTS, 8, 0,
                       VOLTAGE_EVENTS, 7, 1, VOLTAGE_EVENTS, 1, 8, VOLTAGE_EVENTS, 2, 9],
    "analyses": header(grid=1) + configure(rate=10000, length=100000, extra=[("periodValues", True)])
    + [VOLTAGE_EVENTS, IEC, 0, 1, 0, VOLTAGE_EVENTS, IEC, 2, 0, 0, VOLTAGE_EVENTS, FLICKER, 0, 1, 0, 0,
       VOLTAGE_EVENTS, TEN_SECOND, 0, 1, 0, VOLTAGE_EVENTS, IEC, 1, 0, 4, VOLTAGE_EVENTS, FLICKER, 1, 0, 3, 0]
    + [RESET, 0] + write(4000) + cycles(16) + schedule(200) + [SYNC, GET_RESULTS, 0, PERIOD_RESULTS]
    + [VOLTAGE_EVENTS, IEC, 3, 0, VOLTAGE_EVENTS, FLICKER, 3, 0, 0, VOLTAGE_EVENTS, TEN_SECOND, 3, 0],
    "period_invalid_cycles": header() + configure(extra=[("periodValues", True)]) + [RESET, 0] + write(4000)
    + cycles(4, valid=False) + cycles(4) + [PERIOD_RESULTS],
    "skip_and_resume": header() + configure() + [RESET, 0] + write() + [SKIP, SKIP_COUNT[1000]] + write()
    + schedule() + [SYNC, GET_RESULTS, 0],
    "recreate_mid_stream": header() + configure() + [RESET, 0] + write() + schedule() + [RECREATE, 0]
    + configure() + stream(1),
    # Settings stored inside an open bracket must not reach the pipeline.
    "bracket_interharmonics_schedule": header() + configure(grid=0) + [RESET, 0] + write()
    + [BEGIN, BOOL_SETTER, BOOL["interHarmonics"], 1] + schedule() + [SYNC, GET_RESULTS, 0],
    "bracket_grid_schedule": header() + configure(grid=0) + [RESET, 0] + write()
    + [BEGIN, GRID, 1] + schedule() + [SYNC, GET_RESULTS, 0],
    "bracket_buffer_length_write": header() + configure(length=1000) + [RESET, 0]
    + [BEGIN, BUFFER_LENGTH, LENGTH[100000]] + write(4000) + schedule(1000) + [SYNC, GET_RESULTS, 0],
    "unmatched_end_then_setters": header() + configure() + [RESET, 0, END, GRID, 1, BOOL_SETTER, BOOL["thd"], 1]
    + write() + schedule() + [SYNC, GET_RESULTS, 0, BEGIN],
    # Rebuilds that fail, and the calls after them.
    "failed_harmonic_rebuild": header() + configure() + [RESET, 0, HARMONIC, ORDER[-5], 1, RESET, 0] + write()
    + schedule() + [SYNC, GET_RESULTS, 0],
    "failed_buffer_rebuild": header() + configure() + [BUFFER_LENGTH, LENGTH[2000000000], RESET, 0] + write(),
    "negative_buffer_length": header() + configure() + [BUFFER_LENGTH, LENGTH[-5], RESET, 0] + write()
    + schedule(),
    "bad_sample_rates": header() + configure() + [SAMPLE_RATE, RATE["nan"], 0, SAMPLE_RATE, RATE[0], 0,
                                                  SAMPLE_RATE, RATE[-1000], POSITIONS[-1], RESET, 0] + write(),
    # Windows and cycles at the edges.
    "edge_windows": header() + configure() + [RESET, 0] + write()
    + schedule(f="nan") + schedule(f=0) + schedule(f=-50) + schedule(f="fs/2") + schedule(f="below fs/2")
    + schedule(length=0) + schedule(length=-1) + schedule(length="ring+1") + schedule(first="future")
    + schedule(first="overwritten") + schedule(length=3) + [GET_RESULTS, MAX_COUNT[-1], GET_RESULTS, 0],
    "period_cycle_at_sample_rate": header() + configure(extra=[("periodValues", True)]) + [RESET, 0]
    + write(4000) + cycles(3) + cycles(1, f="fs") + schedule(200) + [SYNC, GET_RESULTS, 0, PERIOD_RESULTS],
    "period_cycle_above_sample_rate": header() + configure(extra=[("periodValues", True)]) + [RESET, 0]
    + write(4000) + cycles(1, f="10 fs") + cycles(3) + schedule(200) + [SYNC, GET_RESULTS, 0, PERIOD_RESULTS],
    "period_gap_in_table": header() + configure(extra=[("periodValues", True)]) + [RESET, 0] + write(4000)
    + cycles_with_gap(10**12) + [PERIOD_RESULTS],
    "period_cycle_zero_and_nan": header() + configure(extra=[("periodValues", True)]) + [RESET, 0]
    + write(4000) + cycles(1, f=0) + cycles(1, f="nan") + cycles(1, f=-50) + cycles(4) + [PERIOD_RESULTS],
    "period_counts": header() + configure(extra=[("periodValues", True)]) + [RESET, 0]
    + [PERIOD_SCHEDULE, CYCLES[-1], 0, PERIOD_SCHEDULE, CYCLES[4], 255, PERIOD_RESULTS],
    # Waveform getters, odd arguments, null handles.
    "waveform_channels": header() + configure(grid=1)
    + [WAVEFORM, 0, 3, WAVEFORM, 3, 3, WAVEFORM, 0, 255, WAVEFORM, 8, 0, WAVEFORM, 6, 2],
    "waveform_channels_delta": header() + configure(grid=3) + [WAVEFORM, 3, 3, WAVEFORM, 2, 1],
    "odd_arguments": header() + configure() + [ODD_ARGUMENTS, 0, ODD_ARGUMENTS, 1, ODD_ARGUMENTS, 2,
                                               ODD_ARGUMENTS, 3, RECREATE, 1],
    "unconfigured_module": header() + [RESET, 0] + write() + schedule() + [PERIOD_RESULTS, GET_RESULTS, 0, SYNC],
}


# Fragments that mutations may insert whole: the dictionary.
FRAGMENTS = {
    "configure_star": configure(grid=1)[:-1],
    "configure_period_values": configure(extra=[("periodValues", True)])[:-1],
    "write_schedule_fetch": write() + schedule() + [SYNC, GET_RESULTS, 0],
    "long_write_schedule": write(4000) + schedule(200),
    "reset_write": [RESET, 0] + write(),
    "cycles": cycles(4),
    "open_bracket_grid": [BEGIN, GRID, 1],
    "failing_harmonic": [HARMONIC, ORDER[-5], 1],
    "failing_length": [BUFFER_LENGTH, LENGTH[2000000000]],
    "grouped_harmonics_on": [VOLTAGE_EVENTS, IEC, 0, 1, 0],
    "flicker_on": [VOLTAGE_EVENTS, FLICKER, 0, 1, 0, 0],
}


def main():
    here = pathlib.Path(__file__).parent
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else here / "corpus"
    out.mkdir(parents=True, exist_ok=True)
    for name, calls in SEEDS.items():
        (out / name).write_bytes(bytes(calls))
    lines = ["# Call fragments of the flat-interface fuzzer; written by make_seeds.py."]
    for name, calls in FRAGMENTS.items():
        lines.append(f'{name}="' + "".join(f"\\x{b:02x}" for b in calls) + '"')
    (here / "flat_calls.dict").write_text("\n".join(lines) + "\n")
    print(f"{len(SEEDS)} seeds in {out}, {len(FRAGMENTS)} dictionary entries")


if __name__ == "__main__":
    main()
