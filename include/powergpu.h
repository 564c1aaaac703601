/*
 * powergpu: power-quality analysis of sampled voltages and currents.
 *
 * This is the flat interface of the library, usable from C and C++.
 *
 * A module analyses one electrical connection. The usual sequence is:
 *
 *   PowerModuleHandle m = powerModule_create();
 *   beginUpdate(m);                       // collect settings, rebuild once
 *   setSampleRate(m, 10000.0, 1);
 *   setGridConfigType(m, ThreePhaseStar);
 *   setBufferLength(m, 100000);
 *   ...
 *   endUpdate(m);                         // sizes buffers, builds FFT plans
 *   reset(m, 0);                          // first running sample index
 *   loop:
 *     getWaveformBufferUInput(m, c, &ring) // write samples at samplesWritten
 *     writeSamples(m, count);
 *     scheduleForCalculation(m, first, length, 50.0);
 *     isAnyResultReady(m, &ready); getResults(m, max, &n, records);
 *   powerModule_destroy(m);
 *
 * Every function except powerModule_create and registerErrorReporter returns
 * a PowerStatusCode. Values travel back through the last (pointer) argument,
 * which is written only on success. A null handle gives status 1 for every
 * function except powerModule_destroy and getLastErrorMessage. After any
 * failure, getLastErrorMessage tells in words what went wrong, on the
 * calling thread (also why powerModule_create returned null).
 *
 * Setters other than the "plain stores" (setHalfPeriodValuesCount,
 * setPeriodValuesOverlapInPercent, setPolePairs, setMechAngleOffset,
 * setMechanicalAngleUsed, and the voltage event and 10-s frequency settings,
 * which take effect at the next reset) rebuild the module's buffers and FFT
 * plans at once unless a beginUpdate/endUpdate bracket is open (or more endUpdate than
 * beginUpdate calls have been made). Settings stored but not yet applied are
 * what the getters report; the rings, scheduling, kernels and period values
 * use only the settings that the last completed rebuild applied, so no call
 * ever touches memory sized for other settings. Plain stores take effect at
 * the next window (period span and overlap at the next reset or rebuild).
 *
 * A rebuild keeps the running sample indices. When it replaces buffers that
 * queued work refers to, the windows scheduled but not delivered are dropped,
 * and (once reset has been called) writing, scheduling and period values go
 * on from the next sample to write without a new reset; samples written
 * before a rebuild that replaced the sample rings can no longer be scheduled.
 * A rebuild that replaces nothing (an RVC threshold, say) drops nothing.
 * A rebuild that fails (status 3, or 1 for a setting that cannot be built)
 * leaves the module not built: every call that needs the buffers (reset,
 * writeSamples, skipSamples, scheduling, period calls, waveform pointers)
 * returns 1 with a message giving the reason, until a rebuild succeeds.
 * powerModule_destroy is always safe.
 *
 * Range checks: setBufferLength takes 0 to 2147483647 samples and the
 * voltage event settings and the clock time are checked when set; everything
 * else is stored as given and checked where it is used (a window's
 * frequency, a cycle's frequency, a derived length that cannot be
 * allocated), with a message naming the value.
 *
 * Threads: one thread may write samples and schedule windows while another
 * polls and fetches general results. skipSamples, scheduleForPeriodCalculation
 * and getPeriodResults must not overlap each other, reset or a rebuild.
 */
#ifndef POWERGPU_H
#define POWERGPU_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define POWERGPU_API __declspec(dllexport)
#else
#define POWERGPU_API __attribute__((visibility("default")))
#endif

#define POWERGPU_VERSION_MAJOR 1
#define POWERGPU_VERSION_MINOR 0
#define POWERGPU_VERSION_PATCH 0

#ifdef __cplusplus
class PowerModule;
/** Opaque module handle: a PowerModule created by powerModule_create. */
typedef PowerModule* PowerModuleHandle;
/** Status of a flat call. */
enum class PowerStatusCode : int32_t {
    Success = 0,        /**< the call returned normally */
    UnknownError = 1,   /**< a rejected call or any other failure */
    TooManyResults = 2, /**< getResults: the records do not fit */
    GpuError = 3        /**< a CUDA runtime or FFT call failed; reported */
};
extern "C" {
#else
typedef struct PowerModule* PowerModuleHandle;
typedef int32_t PowerStatusCode;
#endif

/** Status values for C callers (equal to the PowerStatusCode enumerators). */
#define POWER_STATUS_SUCCESS 0
#define POWER_STATUS_UNKNOWN_ERROR 1
#define POWER_STATUS_TOO_MANY_RESULTS 2
#define POWER_STATUS_GPU_ERROR 3

/** Backends for powerModule_createOnBackend and getBackend. */
#define POWER_BACKEND_AUTOMATIC 0
#define POWER_BACKEND_CPU 1
#define POWER_BACKEND_CUDA 2

/** Electrical connection analysed by a module (32 bits). */
#ifdef __cplusplus
enum PowerGridConfigType : int32_t {
#else
enum PowerGridConfigTypeValues {
#endif
    SinglePhase = 0,                           /**< 1 phase, U and I */
    ThreePhaseStar = 1,                        /**< U1..U3 to neutral, I1..I3 */
    ThreePhaseStarTwoCurrents = 2,             /**< U1..U3, I1, I2 (I3 derived) */
    ThreePhaseDelta = 3,                       /**< U12, U23, U31, I1..I3 */
    ThreePhaseDeltaTwoCurrents = 4,            /**< U12, U23, U31, I1, I2 */
    TwoPhase = 5,                              /**< U1, U2, I1, I2 */
    ThreePhaseDeltaTwoVoltagesTwoCurrents = 6, /**< U12, U23 (U31 derived), I1, I2 */
    SinglePhaseSecondary = 7                   /**< as SinglePhase */
};
#ifndef __cplusplus
typedef int32_t PowerGridConfigType;
#endif

/** Complex single-precision value (layout of the FFT output: real, imaginary). */
typedef struct PowerFloat2 {
    float x;
    float y;
} PowerFloat2;

/** Complex double-precision value (real, imaginary), 8-byte aligned. */
typedef struct PowerDouble2 {
    double x;
    double y;
} PowerDouble2;

/** THD figures of one quantity (72 bytes). Percentages relative to the fundamental. */
typedef struct PowerResultsThd {
    double thd;              /**< all orders 2..highest, % of H1 */
    double thdEven;          /**< even orders, % of H1 */
    double thdOdd;           /**< odd orders, % of H1 */
    double thdOddTriplen;    /**< odd orders divisible by 3, % of H1 */
    double thdOddNonTriplen; /**< odd orders not divisible by 3, % of H1 */
    double thdRms;           /**< harmonicRms in % of the total rms */
    double harmonicRms;      /**< rms of orders 2..highest */
    double distortionRms;    /**< sqrt(max(rms^2 - H1^2, 0)) */
    double distortion;       /**< distortionRms in % of H1 */
} PowerResultsThd;

/** One sequence component of a window or period value (168 bytes). */
typedef struct PowerResultsSymmetricalComponent {
    PowerDouble2 u;    /**< complex component of the fundamental phase voltages */
    PowerDouble2 uL;   /**< u * sqrt(3) (line-to-line scale) */
    PowerDouble2 i;    /**< complex component of the fundamental currents */
    double uMagnitude; /**< |u| */
    double uLMagnitude;/**< |uL| */
    double iMagnitude; /**< |i| */
    double p;          /**< Re(3 u conj(i)) */
    double q;          /**< Im(3 u conj(i)) */
    double s;          /**< hypot(p, q) */
    double iActive;    /**< p / (3 |u|) */
    double iReactive;  /**< q / (3 |u|) */
    double lambda;     /**< p / s */
    double rmsU;       /**< rms of this component over the whole spectrum (voltages) */
    double rmsI;       /**< the same for the currents */
    double rmsURatio;  /**< 100 rmsU / rmsU of the positive sequence */
    double rmsIRatio;  /**< 100 rmsI / rmsI of the positive sequence */
    double uRatio;     /**< 100 |u| / |u| of the positive sequence */
    double iRatio;     /**< 100 |i| / |i| of the positive sequence */
} PowerResultsSymmetricalComponent;

/**
 * Results of one phase (or the summary) of a window (776 bytes).
 * Pointers point into the module's host rings and stay valid until the
 * ring slot is reused (generalResultsBufferLength - 1 later windows).
 */
typedef struct PowerResultsChannel {
    double meanAbsU;       /**< rectified mean of u */
    double meanAbsI;       /**< rectified mean of i */
    double meanAbsUL;      /**< rectified mean of the line-to-line voltage */
    double rmsU;           /**< true rms of u */
    double rmsI;           /**< true rms of i */
    double rmsUL;          /**< true rms of the line-to-line voltage */
    double p;              /**< active power (time domain), mean of u*i */
    double rmsFftU;        /**< rms of u from the spectrum */
    double rmsFftI;        /**< rms of i from the spectrum */
    double rmsFftUL;       /**< rms of ul from the spectrum */
    double h1U;            /**< rms of harmonic order 1 of u */
    double h1I;            /**< rms of harmonic order 1 of i */
    double h1UL;           /**< rms of harmonic order 1 of ul */
    double pFft;           /**< active power from the spectrum */
    double nonActivePower; /**< sqrt(max(s^2 - pFft^2, 0)) */
    double s;              /**< apparent power rmsFftU * rmsFftI */
    double lambda;         /**< power factor pFft / s */
    double d1;             /**< sqrt(max(nonActivePower^2 - q1^2, 0)) */
    double q;              /**< reactive power from the spectrum (signed) */
    double d;              /**< distortion power sqrt(max(nonActivePower^2 - q^2, 0)) */
    double p1;             /**< active power of order 1 */
    double q1;             /**< reactive power of order 1 */
    double s1;             /**< apparent power of order 1 */
    double cosPhi1;        /**< displacement factor */
    double q1Sum;          /**< summary block: sum of q1 over the phases */
    double z;              /**< impedance rmsFftU / rmsFftI */
    double z1;             /**< impedance of order 1 */
    PowerResultsThd thdU;
    PowerResultsThd thdI;
    PowerResultsThd thdUL;
    PowerResultsThd thdInterU;
    PowerResultsThd thdInterI;
    PowerResultsThd thdInterUL;
    double harmonicRmsI;       /**< harmonicRms of thdI */
    PowerFloat2* fftU;         /**< full spectrum of u (fftOutputLength bins) or null */
    PowerFloat2* fftI;         /**< full spectrum of i or null */
    PowerFloat2* fftUL;        /**< full spectrum of ul or null */
    float* harmonicsU;         /**< rms per order of u (harmonicLength entries) */
    float* harmonicsI;         /**< rms per order of i */
    float* harmonicsUL;        /**< rms per order of ul */
    float* interharmonicsU;    /**< group between order h and h+1 of u */
    float* interharmonicsI;    /**< the same for i */
    float* interharmonicsUL;   /**< the same for ul */
    float* harmonicsP;         /**< active power per order */
    float* harmonicsQ;         /**< reactive power per order */
    float* harmonicsS;         /**< apparent power per order */
    float* harmonicsZ;         /**< impedance per order */
    float* phasesU;            /**< phase angle per order of u, degrees */
    float* phasesI;            /**< phase angle per order of i, degrees */
} PowerResultsChannel;

/** The results of one calculation window (3808 bytes). */
typedef struct PowerResultsGeneral {
    double time;             /**< end of the window, seconds */
    double frequency;        /**< fundamental frequency of the window, Hz */
    double dFrequency;       /**< FFT bin spacing, Hz */
    double referenceAngle;   /**< internal; not filled */
    uint64_t firstSampleIndex;
    uint32_t length;         /**< samples in the window */
    uint32_t fftOutputLength;/**< bins per channel of the spectrum */
    uint32_t harmonicLength; /**< entries per channel of the harmonic arrays */
    uint8_t phasesCount;     /**< block phasesCount is the summary block */
    uint8_t reserved[3];
    PowerResultsChannel channels[4];
    PowerResultsSymmetricalComponent symmetricalResults[3]; /**< zero, positive, negative */
    PowerDouble2 clarkeU[3]; /**< alpha, beta, zero of the fundamental voltages */
    double parkU[3];         /**< d, q, third value of the voltage Park average */
    PowerDouble2 clarkeI[3]; /**< alpha, beta, zero of the fundamental currents */
    double parkI[3];         /**< d, q, third value of the current Park average */
} PowerResultsGeneral;

/** State and result of a rapid-voltage-change detector (40 bytes). */
typedef struct RvcResult {
    bool stateChanged;  /**< state differs from the previous value's */
    bool firstValue;    /**< first value since the detector was reset */
    uint8_t reserved0[2];
    int32_t state;      /**< -1 no value yet, 0 steady, 1 event in progress */
    bool eventEnded;    /**< an event ended with this value */
    uint8_t reserved1[3];
    uint32_t eventCount;/**< events completed since the reset */
    float deltaUss;     /**< at the end of an event: |old steady mean - new steady mean| */
    float deltaUmax;    /**< at the end of an event: largest deviation from the old mean */
    double duration;    /**< at the end of an event: its duration, seconds */
    double time;        /**< time of the value, seconds */
} RvcResult;

/**
 * One record of a period value (392 bytes): record 0 is the summary
 * (grids with more than one phase), records 1..phases the phases.
 */
typedef struct PowerResultsPeriod {
    double time;           /**< end of the window, seconds */
    double frequency;      /**< mean frequency over the window, Hz */
    double rmsU;
    double rmsI;
    double rmsUL;
    double p;
    double nonActivePower;
    double s;
    double lambda;
    double h1U;            /**< rms of the fundamental of u */
    double h1I;
    double reserved;
    double p1;
    double q1;
    double q1Sum;
    double s1;
    double phi1;           /**< angle U1 - angle I1, degrees in (-180, 180] */
    bool valid;
    uint8_t reserved1[7];
    RvcResult rvcU;
    RvcResult rvcUL;
    PowerResultsSymmetricalComponent symmetricalComponent;
} PowerResultsPeriod;

/** Error reporter: receives kind 1 and the message of every GPU failure. */
typedef void (*PowerErrorReporter)(int32_t kind, const char* message);

/** The registered reporter (null: none). Set it through registerErrorReporter. */
extern POWERGPU_API PowerErrorReporter reportErrorCallbackFunction;

/* ---------------------------------------------------------------- lifecycle */

/**
 * Creates a module on the automatic backend (CUDA when usable, else CPU).
 * Null on failure, without calling the error reporter; getLastErrorMessage
 * with a null handle then tells why.
 */
POWERGPU_API PowerModuleHandle powerModule_create(void);
/** Destroys a module and releases everything it holds. A null handle does nothing. */
POWERGPU_API PowerStatusCode powerModule_destroy(PowerModuleHandle handle);
/** Stores the process-wide error reporter (null switches reporting off). Returns 0. */
POWERGPU_API PowerStatusCode registerErrorReporter(PowerErrorReporter reporter);

/* ------------------------------------------------- update bracket, processing */

/** Opens an update bracket: rebuilding setters only store until endUpdate. */
POWERGPU_API PowerStatusCode beginUpdate(PowerModuleHandle handle);
/** Closes a bracket; the outermost endUpdate rebuilds the module once. */
POWERGPU_API PowerStatusCode endUpdate(PowerModuleHandle handle);
/**
 * Announces count samples written into the host rings at the running index
 * (at most one ring per call). They are copied to the device behind the last
 * scheduled window, so a window still in flight always reads its own
 * samples. On the CUDA backend the copy runs asynchronously from the host
 * rings: a host ring position may be rewritten once the samples it held
 * have been copied, which is certain once a window scheduled after that
 * writeSamples call has been delivered, or after syncCuda. A caller that
 * stays less than one ring ahead of the oldest undelivered window meets this
 * by itself. Rejected before reset and while the module is not built.
 */
POWERGPU_API PowerStatusCode writeSamples(PowerModuleHandle handle, uint32_t count);
/** Advances the running sample index by count without copying; pending windows start there. */
POWERGPU_API PowerStatusCode skipSamples(PowerModuleHandle handle, uint32_t count);
/**
 * Schedules one calculation window of length samples starting at running
 * index firstSampleIndex with the given fundamental frequency (Hz).
 * Rejected (status 1, nothing changed) for length 0 or above the buffer
 * length or the FFT length, samples not yet written, already overwritten or
 * written before a rebuild replaced the rings, a frequency that is not
 * finite, not positive or not below half the sample rate, an FFT length
 * below 4, as many undelivered windows as there are result slots (with
 * full spectra: as many as the spectra ring holds, whichever is fewer), a
 * mechanical angle used before a rebuild made its ring, before reset and
 * while the module is not built. The records and spectra a delivered window
 * points to stay valid until their rings wrap.
 */
POWERGPU_API PowerStatusCode scheduleForCalculation(PowerModuleHandle handle, uint64_t firstSampleIndex,
                                                    int32_t length, double frequency);
/**
 * Reports count detected cycles of the fundamental: cycle k starts at
 * sub-sample index starts[k] (units of 1/positionsPerSample samples), spans
 * lengths[k] sub-samples, has frequency frequencies[k] (Hz) and validity
 * valid[k]. Entries with a length of 0 or less are skipped; a 0 Hz entry
 * holds the reference phase over its samples. The whole call is rejected
 * (nothing changed) for an entry whose frequency is not finite, is negative,
 * or is so high that a period window would not advance by a whole sample
 * (above the sample rate times the advance in cycles: half the sample rate
 * for one-cycle values every half cycle), or whose cycle is longer than the
 * ring; also while period values are disabled, before reset, while the module
 * is not built, for a negative count or null arrays with count > 0. A window
 * chain that fell more than a ring behind starts again at the first cycle
 * reported, since the tracks it would need are overwritten.
 */
POWERGPU_API PowerStatusCode scheduleForPeriodCalculation(PowerModuleHandle handle, int32_t count,
                                                          uint64_t* starts, int32_t* lengths,
                                                          double* frequencies, bool* valid);
/** Tells whether the oldest scheduled window is ready; status 3 when the device reports a fault. */
POWERGPU_API PowerStatusCode isAnyResultReady(PowerModuleHandle handle, bool* ready);
/**
 * Fetches up to maxCount ready windows (all ready ones for 0) in schedule
 * order into results. Status 2 when more were ready than maxCount allows
 * (possible only with maxCount 0; those records are lost) or maxCount < 0.
 * Status 3 when the device reports a fault before any record was taken; a
 * fault after the first record hands out the records taken and surfaces on
 * the next call.
 */
POWERGPU_API PowerStatusCode getResults(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                        PowerResultsGeneral* results);
/**
 * Computes the period values whose samples have been delivered as general
 * results: a value is handed out once its last sample lies before the first
 * sample not yet delivered (derived channels reach the host rings with the
 * general results, so that sample must be there), and once the cycles
 * reported cover its samples for good: the sample in which a cycle ends
 * inside takes its phase advance, frequency and validity from both cycles,
 * so a value reading it waits until the next cycle is reported (or a later
 * call starts past it). A value is thus the same whatever calls the cycles
 * came in and whenever it is fetched. On return *count period
 * values of (phases + 1) records each lie contiguously from *records; *more
 * is true when further values wait at the start of the record ring. The
 * records stay valid until the record ring wraps. Rejected while period
 * values are disabled, before reset and while the module is not built.
 */
POWERGPU_API PowerStatusCode getPeriodResults(PowerModuleHandle handle, int32_t* count, bool* more,
                                              PowerResultsPeriod** records);
/** Waits until the device has finished all work. */
POWERGPU_API PowerStatusCode syncCuda(PowerModuleHandle handle);
/** Restarts the module at running sample index firstSampleIndex; drops all windows and period values. */
POWERGPU_API PowerStatusCode reset(PowerModuleHandle handle, uint64_t firstSampleIndex);

/* ------------------------------------------------------ waveform ring access */

/*
 * Each getter checks the channel against the grid configuration the buffers
 * were built for: a channel that does not exist there gives status 1 and a
 * message with the valid range, never another channel's ring. A channel that
 * exists but is not kept on the host (a derived waveform with waveforms off)
 * gives a null pointer.
 */
/** Host ring of the measured voltage channel (phase or line-to-line by grid type). */
POWERGPU_API PowerStatusCode getWaveformBufferUInput(PowerModuleHandle handle, uint8_t channel, float** out);
/** Host ring of phase voltage channel (derived for delta grids, readable after delivery). */
POWERGPU_API PowerStatusCode getWaveformBufferUStar(PowerModuleHandle handle, uint8_t channel, float** out);
/** Host ring of line-to-line voltage channel (0 = U12, 1 = U23, 2 = U31). */
POWERGPU_API PowerStatusCode getWaveformBufferUDelta(PowerModuleHandle handle, uint8_t channel, float** out);
/** Host ring of current channel (the derived third current is read-only). */
POWERGPU_API PowerStatusCode getWaveformBufferI(PowerModuleHandle handle, uint8_t channel, float** out);
/** Host ring of the Clarke voltage components (0 alpha, 1 beta, 2 zero). */
POWERGPU_API PowerStatusCode getWaveformBufferClarkeU(PowerModuleHandle handle, uint8_t channel, float** out);
/** Host ring of the Clarke current components. */
POWERGPU_API PowerStatusCode getWaveformBufferClarkeI(PowerModuleHandle handle, uint8_t channel, float** out);
/** Host ring of the Park voltage components (0 d, 1 q). */
POWERGPU_API PowerStatusCode getWaveformBufferParkU(PowerModuleHandle handle, uint8_t channel, float** out);
/** Host ring of the Park current components. */
POWERGPU_API PowerStatusCode getWaveformBufferParkI(PowerModuleHandle handle, uint8_t channel, float** out);
/** Host ring of the mechanical angle input (radians). */
POWERGPU_API PowerStatusCode getWaveformBufferMechAngles(PowerModuleHandle handle, float** out);

/* ------------------------------------------------------------ bool getters */

/** Clarke/Park applied to the currents. */
POWERGPU_API PowerStatusCode getClarkeOrParkCurrentsEnabled(PowerModuleHandle handle, bool* out);
/** Clarke/Park applied to the voltages. */
POWERGPU_API PowerStatusCode getClarkeOrParkVoltagesEnabled(PowerModuleHandle handle, bool* out);
/** Clarke/Park waveforms kept in the host rings. */
POWERGPU_API PowerStatusCode getClarkeOrParkWaveformsEnabled(PowerModuleHandle handle, bool* out);
/** Clarke transform enabled. */
POWERGPU_API PowerStatusCode getClarkeTransformEnabled(PowerModuleHandle handle, bool* out);
/** Currents analysed (default true). */
POWERGPU_API PowerStatusCode getCurrentEnabled(PowerModuleHandle handle, bool* out);
/** Full spectra kept (true only with a static frequency). */
POWERGPU_API PowerStatusCode getFullFftEnabled(PowerModuleHandle handle, bool* out);
/** Fundamental period values enabled. */
POWERGPU_API PowerStatusCode getFundamentalPeriodValuesEnabled(PowerModuleHandle handle, bool* out);
/** Interharmonic groups computed. */
POWERGPU_API PowerStatusCode getInterHarmonicsEnabled(PowerModuleHandle handle, bool* out);
/** Line-to-line voltage results computed. */
POWERGPU_API PowerStatusCode getLineToLineResultsEnabled(PowerModuleHandle handle, bool* out);
/** Mechanical angle input used for Park. */
POWERGPU_API PowerStatusCode getMechanicalAngleUsed(PowerModuleHandle handle, bool* out);
/** Park transform enabled. */
POWERGPU_API PowerStatusCode getParkTransformEnabled(PowerModuleHandle handle, bool* out);
/** Period symmetrical components enabled (and three phases). */
POWERGPU_API PowerStatusCode getPeriodSymmetricalComponentsEnabled(PowerModuleHandle handle, bool* out);
/** Period values enabled. */
POWERGPU_API PowerStatusCode getPeriodValuesEnabled(PowerModuleHandle handle, bool* out);
/** Rapid voltage change detection enabled. */
POWERGPU_API PowerStatusCode getRvcEnabled(PowerModuleHandle handle, bool* out);
/** Symmetrical components enabled (and three phases). */
POWERGPU_API PowerStatusCode getSymmetricalComponentsEnabled(PowerModuleHandle handle, bool* out);
/** THD computed. */
POWERGPU_API PowerStatusCode getThdEnabled(PowerModuleHandle handle, bool* out);
/** Derived waveforms copied back to the host rings. */
POWERGPU_API PowerStatusCode getWaveformsEnabled(PowerModuleHandle handle, bool* out);

/* --------------------------------------------------------- numeric getters */

/** Current channels analysed (0 with currents disabled). */
POWERGPU_API PowerStatusCode getCurrentsCount(PowerModuleHandle handle, uint8_t* out);
/** Voltage channels the caller supplies. */
POWERGPU_API PowerStatusCode getVoltagesCount(PowerModuleHandle handle, uint8_t* out);
/** Phases of the grid configuration. */
POWERGPU_API PowerStatusCode getPhasesCount(PowerModuleHandle handle, uint8_t* out);
/** Half periods per period value (default 2). */
POWERGPU_API PowerStatusCode getHalfPeriodValuesCount(PowerModuleHandle handle, uint16_t* out);
/** Overlap of consecutive period values in percent (default 0). */
POWERGPU_API PowerStatusCode getPeriodValuesOverlapInPercent(PowerModuleHandle handle, uint16_t* out);
/** Highest harmonic order kept (default 1). */
POWERGPU_API PowerStatusCode getHighestRequestedHarmonic(PowerModuleHandle handle, int32_t* out);
/** Highest order of the THD sums (default 40). */
POWERGPU_API PowerStatusCode getThdHighestHarmonic(PowerModuleHandle handle, int32_t* out);
/** Pole pairs of the machine (Park with mechanical angle). */
POWERGPU_API PowerStatusCode getPolePairs(PowerModuleHandle handle, int32_t* out);
/** Mechanical angle offset in degrees. */
POWERGPU_API PowerStatusCode getMechAngleOffset(PowerModuleHandle handle, double* out);
/** RVC steady-state length in period values (default 100). */
POWERGPU_API PowerStatusCode getRvcSteadyStateLengthInNumberOfPeriodValues(PowerModuleHandle handle, int32_t* out);
/** RVC threshold in percent of the steady mean (default 2.0). */
POWERGPU_API PowerStatusCode getRvcThresholdInPercentOfAverage(PowerModuleHandle handle, double* out);
/** RVC hysteresis in percent of the threshold (default 50.0). */
POWERGPU_API PowerStatusCode getRvcThresholdHysteresisInPercentOfThreshold(PowerModuleHandle handle, double* out);

/* ----------------------------------------------------------------- setters */

/**
 * Samples per channel in the input rings, 0 to 2147483647 (a negative value
 * is rejected before anything is stored); duration = length / sample rate.
 */
POWERGPU_API PowerStatusCode setBufferLength(PowerModuleHandle handle, int32_t length);
/** Sample rate in Hz and sub-sample positions per sample of the cycle input; keeps the buffer length. */
POWERGPU_API PowerStatusCode setSampleRate(PowerModuleHandle handle, double sampleRate, int32_t positionsPerSample);
/** Static fundamental: range (1 - tolerance) f .. (1 + tolerance) f, tolerance clamped to 0.001..0.5. */
POWERGPU_API PowerStatusCode setStaticFrequency(PowerModuleHandle handle, double frequency, double tolerance);
/** Variable fundamental from lowest to highest Hz; each window gets its own FFT length. */
POWERGPU_API PowerStatusCode setVariableFrequency(PowerModuleHandle handle, double lowest, double highest);
/** Grid configuration (an unknown value behaves as SinglePhase). */
POWERGPU_API PowerStatusCode setGridConfigType(PowerModuleHandle handle, PowerGridConfigType type);
/** Fundamental periods per window, sizing the FFT length (default 10). */
POWERGPU_API PowerStatusCode setPeriodCount(PowerModuleHandle handle, uint16_t count);
/** Half periods per period value (plain store; takes effect at the next reset). */
POWERGPU_API PowerStatusCode setHalfPeriodValuesCount(PowerModuleHandle handle, uint16_t count);
/** Overlap of period values in percent (plain store; takes effect at the next reset). */
POWERGPU_API PowerStatusCode setPeriodValuesOverlapInPercent(PowerModuleHandle handle, uint16_t percent);
/** Highest harmonic order kept. */
POWERGPU_API PowerStatusCode setHighestRequestedHarmonic(PowerModuleHandle handle, int32_t order);
/** Highest order of the THD sums. */
POWERGPU_API PowerStatusCode setThdHighestHarmonic(PowerModuleHandle handle, int32_t order);
/** Pole pairs (plain store). */
POWERGPU_API PowerStatusCode setPolePairs(PowerModuleHandle handle, int32_t polePairs);
/** Mechanical angle offset in degrees (plain store). */
POWERGPU_API PowerStatusCode setMechAngleOffset(PowerModuleHandle handle, double offsetDegrees);
/** RVC steady-state length in period values (0 or less acts as 1). */
POWERGPU_API PowerStatusCode setRvcSteadyStateLengthInNumberOfPeriodValues(PowerModuleHandle handle, int32_t length);
/** RVC threshold in percent of the steady mean. */
POWERGPU_API PowerStatusCode setRvcThresholdInPercentOfAverage(PowerModuleHandle handle, double percent);
/** RVC hysteresis in percent of the threshold. */
POWERGPU_API PowerStatusCode setRvcThresholdHysteresisInPercentOfThreshold(PowerModuleHandle handle, double percent);
/** Apply Clarke/Park to the currents. */
POWERGPU_API PowerStatusCode setClarkeOrParkCurrentsEnabled(PowerModuleHandle handle, bool enabled);
/** Apply Clarke/Park to the voltages. */
POWERGPU_API PowerStatusCode setClarkeOrParkVoltagesEnabled(PowerModuleHandle handle, bool enabled);
/** Keep Clarke/Park waveforms in the host rings. */
POWERGPU_API PowerStatusCode setClarkeOrParkWaveformsEnabled(PowerModuleHandle handle, bool enabled);
/** Enable the Clarke transform (three-phase grids). */
POWERGPU_API PowerStatusCode setClarkeTransformEnabled(PowerModuleHandle handle, bool enabled);
/** Enable the Park transform (three-phase grids). */
POWERGPU_API PowerStatusCode setParkTransformEnabled(PowerModuleHandle handle, bool enabled);
/** Analyse currents. */
POWERGPU_API PowerStatusCode setCurrentEnabled(PowerModuleHandle handle, bool enabled);
/** Keep the full spectra of every window (static frequency only). */
POWERGPU_API PowerStatusCode setFullFftEnabled(PowerModuleHandle handle, bool enabled);
/** Enable fundamental period values. */
POWERGPU_API PowerStatusCode setFundamentalPeriodValuesEnabled(PowerModuleHandle handle, bool enabled);
/** Compute interharmonic groups. */
POWERGPU_API PowerStatusCode setInterHarmonicsEnabled(PowerModuleHandle handle, bool enabled);
/** Compute line-to-line voltage results. */
POWERGPU_API PowerStatusCode setLineToLineResultsEnabled(PowerModuleHandle handle, bool enabled);
/** Use the mechanical angle input for Park (plain store). */
POWERGPU_API PowerStatusCode setMechanicalAngleUsed(PowerModuleHandle handle, bool used);
/** Enable period symmetrical components (three-phase grids). */
POWERGPU_API PowerStatusCode setPeriodSymmetricalComponentsEnabled(PowerModuleHandle handle, bool enabled);
/** Enable period values. */
POWERGPU_API PowerStatusCode setPeriodValuesEnabled(PowerModuleHandle handle, bool enabled);
/** Enable rapid voltage change detection on the period RMS values. */
POWERGPU_API PowerStatusCode setRvcEnabled(PowerModuleHandle handle, bool enabled);
/** Enable symmetrical components (three-phase grids). */
POWERGPU_API PowerStatusCode setSymmetricalComponentsEnabled(PowerModuleHandle handle, bool enabled);
/** Enable THD figures. */
POWERGPU_API PowerStatusCode setThdEnabled(PowerModuleHandle handle, bool enabled);
/** Copy derived waveforms back to the host rings. */
POWERGPU_API PowerStatusCode setWaveformsEnabled(PowerModuleHandle handle, bool enabled);

/* -------------------------------------------------------------- extensions */

/**
 * Extension: creates a module on a chosen backend: POWER_BACKEND_AUTOMATIC
 * (CUDA when a CUDA device is usable, else CPU), POWER_BACKEND_CPU or
 * POWER_BACKEND_CUDA. Null when that backend is not available, without
 * calling the error reporter; getLastErrorMessage(NULL, ...) then tells why
 * (for CUDA: the device query's error with the driver's and the library's
 * CUDA versions, or the cuFFT files tried). The cuFFT library is looked up
 * by its versioned names on the loader's path and in $CUDA_HOME/lib64;
 * the environment variable POWERGPU_CUFFT_LIBRARY names the one file to
 * load instead.
 */
POWERGPU_API PowerModuleHandle powerModule_createOnBackend(int32_t backend);
/** Extension: the backend a module runs on (POWER_BACKEND_CPU or POWER_BACKEND_CUDA). */
POWERGPU_API PowerStatusCode getBackend(PowerModuleHandle handle, int32_t* backend);
/**
 * Extension: the range of fundamental frequencies the stored settings size
 * the module for, in Hz: lowest .. highest of setVariableFrequency, or of
 * setStaticFrequency after its tolerance was clamped. Either pointer may be
 * NULL when the caller wants only the other.
 */
POWERGPU_API PowerStatusCode getFrequencyRange(PowerModuleHandle handle, double* lowest, double* highest);
/**
 * Extension: copies the message of the last failed flat call on this thread
 * (empty after a successful call), zero-terminated and truncated to
 * capacity bytes; *length receives the full message length. The message
 * belongs to the thread: any handle, null included, reads it, and reading
 * does not change it. Status 1 only for a negative capacity or a null
 * buffer with a positive capacity.
 */
POWERGPU_API PowerStatusCode getLastErrorMessage(PowerModuleHandle handle, char* buffer, int32_t capacity,
                                                 int32_t* length);
/** Extension: the library version. */
POWERGPU_API PowerStatusCode powerModule_getVersion(int32_t* major, int32_t* minor, int32_t* patch);

/* ------------------------------------- extensions: dips, swells, interruptions */

/*
 * Extension: a detector of voltage dips, swells and interruptions, fed by the
 * one-cycle RMS values of the phase voltages (rmsU of the period records,
 * refreshed every half cycle with the default period settings) as
 * getPeriodResults computes them; it needs period values. Its settings are
 * plain stores that take effect at the next reset, which also forgets all
 * events. The same host code runs under both backends.
 *
 * Thresholds are percentages: dip and swell of the reference voltage (the
 * declared voltage, or with the sliding reference a first-order filter of
 * each phase's values with a one-minute time constant, started at the
 * declared voltage and held while an event lasts), the interruption of the
 * declared voltage. A dip starts when any phase falls below the dip
 * threshold and ends when every phase is at or above it plus the hysteresis;
 * a swell starts when any phase rises above the swell threshold and ends
 * when every phase is at or below it minus the hysteresis; an interruption
 * starts when every phase is below the interruption threshold and ends when
 * any phase is at or above it plus the hysteresis. Each kind is judged on
 * its own: a collapse of the voltage gives a dip that contains the
 * interruption. Times are those of the values: the middle of their one-cycle
 * windows, in seconds of running sample index / sample rate. A step whose
 * value of any phase is not finite is skipped. Like getPeriodResults, the
 * retrieval calls must not overlap it, reset or a rebuild.
 */
#define POWER_VOLTAGE_EVENT_DIP 1
#define POWER_VOLTAGE_EVENT_SWELL 2
#define POWER_VOLTAGE_EVENT_INTERRUPTION 3

/** One dip, swell or interruption (64 bytes). */
typedef struct PowerVoltageEvent {
    int32_t type;            /**< POWER_VOLTAGE_EVENT_DIP, _SWELL or _INTERRUPTION */
    uint32_t phases;         /**< affected phases: bit k for phase k + 1 */
    uint32_t index;          /**< number of the event since the reset (0, 1, ...; a gap means dropped events) */
    int32_t extremePhase;    /**< phase (1..3) of the extreme value */
    double startTime;        /**< time of the value that started the event, seconds */
    double duration;         /**< to the value that ended it (or, in progress, to the latest value), seconds */
    double extreme;          /**< residual voltage (dips, interruptions) or maximum (swells), V */
    double extremePercent;   /**< extreme in percent of referenceVoltage */
    double referenceVoltage; /**< reference of the extreme phase at the start, V */
    int32_t ended;           /**< 1: ended; 0: still in progress */
    int32_t valueCount;      /**< values from the starting one up to the ending one (excluded) */
} PowerVoltageEvent;

/** Extension: enable the detection of dips, swells and interruptions (plain store; default false). */
POWERGPU_API PowerStatusCode setVoltageEventsEnabled(PowerModuleHandle handle, bool enabled);
POWERGPU_API PowerStatusCode getVoltageEventsEnabled(PowerModuleHandle handle, bool* out);
/** Extension: declared input voltage, V (plain store; default 230; finite and above 0, else rejected). */
POWERGPU_API PowerStatusCode setVoltageEventDeclaredVoltage(PowerModuleHandle handle, double volts);
POWERGPU_API PowerStatusCode getVoltageEventDeclaredVoltage(PowerModuleHandle handle, double* out);
/** Extension: dip threshold in percent of the reference (plain store; default 90; 0..100, else rejected). */
POWERGPU_API PowerStatusCode setVoltageDipThresholdInPercent(PowerModuleHandle handle, double percent);
POWERGPU_API PowerStatusCode getVoltageDipThresholdInPercent(PowerModuleHandle handle, double* out);
/** Extension: swell threshold in percent of the reference (plain store; default 110; finite, 100 or above). */
POWERGPU_API PowerStatusCode setVoltageSwellThresholdInPercent(PowerModuleHandle handle, double percent);
POWERGPU_API PowerStatusCode getVoltageSwellThresholdInPercent(PowerModuleHandle handle, double* out);
/** Extension: interruption threshold in percent of the declared voltage (plain store; default 5; 0..100). */
POWERGPU_API PowerStatusCode setVoltageInterruptionThresholdInPercent(PowerModuleHandle handle, double percent);
POWERGPU_API PowerStatusCode getVoltageInterruptionThresholdInPercent(PowerModuleHandle handle, double* out);
/** Extension: hysteresis in percent of the reference (plain store; default 2; 0..100). */
POWERGPU_API PowerStatusCode setVoltageEventHysteresisInPercent(PowerModuleHandle handle, double percent);
POWERGPU_API PowerStatusCode getVoltageEventHysteresisInPercent(PowerModuleHandle handle, double* out);
/** Extension: use the sliding reference instead of the declared voltage (plain store; default false). */
POWERGPU_API PowerStatusCode setVoltageEventSlidingReferenceEnabled(PowerModuleHandle handle, bool enabled);
POWERGPU_API PowerStatusCode getVoltageEventSlidingReferenceEnabled(PowerModuleHandle handle, bool* out);
/**
 * Extension: moves up to maxCount ended events, oldest first, into the
 * caller's array events; *count receives how many. With maxCount 0 nothing
 * moves and *count receives the number waiting. At most 4096 ended events
 * wait; beyond that the oldest are dropped (see index). Rejected for a
 * negative maxCount, null count, null events with maxCount above 0, and
 * unless the detector was enabled, with period values, at the last reset.
 */
POWERGPU_API PowerStatusCode getVoltageEvents(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                              PowerVoltageEvent* events);
/**
 * Extension: copies up to maxCount events still in progress (ended 0,
 * duration up to the latest value) into events, without removing them, in
 * the order dip, swell, interruption (at most 3); same rejections.
 */
POWERGPU_API PowerStatusCode getVoltageEventsInProgress(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                                        PowerVoltageEvent* events);
/* ------------------------------------------------- extensions: flicker */

/*
 * Extension: a flickermeter per voltage channel (the measured phase
 * voltages; the line-to-line voltages of delta grids, U31 derived where only
 * two are measured) that measures the instantaneous flicker sensation Pinst
 * and the short-term severity Pst of every 10-minute interval from the
 * samples as they are announced by writeSamples.
 *
 * The chain per channel: squaring of the samples, averaged over blocks of
 * samples down to an internal rate of 1600 to 6400 Hz; scaling by the slowly
 * varying mean square of the input (half-cycle mean squares through a 60 s
 * first-order low-pass); a 0.05 Hz high-pass, a 6th-order Butterworth
 * low-pass at 35 Hz (50 Hz supplies) or 42 Hz (60 Hz supplies) and the
 * lamp-eye weighting of the chosen lamp, all by the bilinear transform with
 * pre-warping; squaring and a 300 ms first-order low-pass scaled so that a
 * sinusoidal 8.8 Hz fluctuation of 0.250 % gives a largest Pinst of 1 with
 * the 230 V lamp; Pst from 4096 logarithmic classes of Pinst per interval.
 *
 * Sample rates from 1600 Hz up. The flicker settings are rebuilding setters:
 * the meters use the values applied by the last completed rebuild; a rebuild
 * that changes them, the sample rate or the grid configuration restarts the
 * meters (records not yet fetched stay), any other rebuild leaves them
 * running. A setter given a value it cannot use is rejected (status 1) and
 * stores nothing. While flicker is enabled at a sample rate below 1600 Hz
 * the module works as usual and the flicker getters of results are
 * rejected with the reason.
 *
 * A meter follows the running index: samples that do not continue the last
 * ones written (after reset to another index, skipSamples, or a rebuild
 * that replaced the rings) restart it. After a (re)start it waits for the
 * next 10 ms point of its grid (intervalStart plus whole 10 ms blocks),
 * settles for 5 s, and reports from the next 10 ms point on. An interval
 * is complete when the meter reported every Pinst value of it; the first
 * interval after a start, or one cut short by a restart, is handed out
 * with complete false and the covered fraction. An interval that would
 * begin before running index 0 is not handed out.
 *
 * Records wait in per-channel queues until fetched: the newest 60000 Pinst
 * values (10 minutes) and the newest 1008 Pst values (a week); older ones
 * are dropped when a queue is full. Fetching may run on another thread than
 * writeSamples.
 */

/** Lamp models of setFlickerLamp. */
#define POWER_FLICKER_LAMP_230V 0
#define POWER_FLICKER_LAMP_120V 1

/** Pinst over one block of about 10 ms of one channel (32 bytes). */
typedef struct PowerFlickerPinst {
    uint64_t firstSampleIndex; /**< running index of the block's first sample */
    uint32_t length;           /**< samples in the block (sample rate / 100 for rates divisible by 100) */
    uint8_t channel;           /**< voltage channel */
    uint8_t reserved[3];
    double mean;               /**< mean Pinst over the block */
    double max;                /**< largest Pinst in the block */
} PowerFlickerPinst;

/** Pst of one 10-minute interval of one channel (80 bytes). */
typedef struct PowerFlickerPst {
    uint64_t firstSampleIndex; /**< running index of the interval's first sample */
    uint64_t length;           /**< samples in the interval (600 s times the sample rate) */
    double pst;                /**< short-term flicker severity */
    double p01;                /**< P0.1: Pinst exceeded during 0.1 % of the interval */
    double p1s;                /**< smoothed P1: (P0.7 + P1 + P1.5) / 3 */
    double p3s;                /**< smoothed P3: (P2.2 + P3 + P4) / 3 */
    double p10s;               /**< smoothed P10: (P6 + P8 + P10 + P13 + P17) / 5 */
    double p50s;               /**< smoothed P50: (P30 + P50 + P80) / 3 */
    double coverage;           /**< fraction of the interval whose Pinst was measured, 0..1 */
    uint8_t channel;           /**< voltage channel */
    bool complete;             /**< every Pinst value of the interval was measured */
    uint8_t reserved[6];
} PowerFlickerPst;

/** Extension: enable the flickermeters (default off). Rebuilding setter. */
POWERGPU_API PowerStatusCode setFlickerEnabled(PowerModuleHandle handle, bool enabled);
/** Extension: flickermeters enabled (stored value). */
POWERGPU_API PowerStatusCode getFlickerEnabled(PowerModuleHandle handle, bool* out);
/** Extension: lamp model, POWER_FLICKER_LAMP_230V (default) or POWER_FLICKER_LAMP_120V; others are rejected. */
POWERGPU_API PowerStatusCode setFlickerLamp(PowerModuleHandle handle, int32_t lamp);
/** Extension: the lamp model (stored value). */
POWERGPU_API PowerStatusCode getFlickerLamp(PowerModuleHandle handle, int32_t* out);
/** Extension: nominal supply frequency, 50 (default) or 60 Hz; others are rejected. */
POWERGPU_API PowerStatusCode setFlickerSystemFrequency(PowerModuleHandle handle, double frequency);
/** Extension: the nominal supply frequency (stored value). */
POWERGPU_API PowerStatusCode getFlickerSystemFrequency(PowerModuleHandle handle, double* out);
/**
 * Extension: running index at which a 10-minute interval starts (default 0);
 * intervals tile the running indices from there in both directions.
 */
POWERGPU_API PowerStatusCode setFlickerIntervalStart(PowerModuleHandle handle, uint64_t firstSampleIndex);
/** Extension: the interval alignment (stored value). */
POWERGPU_API PowerStatusCode getFlickerIntervalStart(PowerModuleHandle handle, uint64_t* out);
/** Extension: channels measured by the applied settings (0 while flicker is off or cannot run). */
POWERGPU_API PowerStatusCode getFlickerChannelsCount(PowerModuleHandle handle, uint8_t* out);
/**
 * Extension: moves up to capacity of the oldest Pinst records of a channel
 * into records, oldest first; *count receives how many. Rejected (nothing
 * taken) while flicker is off or cannot run at the applied sample rate, for
 * a channel the meters do not have, a negative capacity, or null pointers
 * (records may be null with capacity 0).
 */
POWERGPU_API PowerStatusCode getFlickerPinst(PowerModuleHandle handle, uint8_t channel, int32_t capacity,
                                             int32_t* count, PowerFlickerPinst* records);
/** Extension: the same for the Pst records of completed intervals. */
POWERGPU_API PowerStatusCode getFlickerPst(PowerModuleHandle handle, uint8_t channel, int32_t capacity,
                                           int32_t* count, PowerFlickerPst* records);

/* ------------------------------------------------- extensions: 10-s frequency */

/*
 * Extension: the frequency of each 10-s interval of the absolute clock: the
 * whole cycles within the interval, counted and divided by their cumulative
 * duration. The cycles are those reported with scheduleForPeriodCalculation
 * (their starts and lengths in positions; the frequencies given there are
 * not used), so it needs period values; the same host code runs under both
 * backends. Its settings are plain stores that take effect at the next
 * reset, which also forgets every interval.
 *
 * Sample index n lies at clock time T0 + n / sampleRate seconds, T0 being
 * the clock time of running sample index 0 (setClockTimeAtSampleIndexZero;
 * for example the recording's start time in seconds since 1970 when the
 * recording starts at index 0). Intervals are [10 k, 10 k + 10) seconds of
 * that clock. A cycle counts in the interval that holds it whole (one that
 * ends exactly on a boundary included); a cycle across a boundary counts in
 * neither, so no cycle is counted twice and no interval borrows time from
 * its neighbour. A cycle reported invalid is never counted and flags every
 * interval it lies in or across. Cycles reported out of order, starting in
 * an interval already completed, are ignored. An interval is complete when
 * a cycle reaches its end or starts in a later one; intervals in which no
 * cycle starts or ends give no record. Like getPeriodResults, the retrieval
 * call must not overlap scheduleForPeriodCalculation, reset or a rebuild.
 */

/** The frequency of one 10-s interval (48 bytes). */
typedef struct PowerTenSecondFrequency {
    double startTime;              /**< clock time of the interval's start, s (a multiple of 10) */
    double frequency;              /**< cycleCount / cycleDuration, Hz; NaN when no cycle counted */
    double cycleDuration;          /**< cumulative duration of the counted cycles, s */
    uint32_t index;                /**< number of the interval since the reset (a gap means dropped records) */
    uint32_t cycleCount;           /**< valid whole cycles within the interval */
    uint32_t invalidCycleCount;    /**< invalid cycles within or across the interval (not counted) */
    uint32_t straddlingCycleCount; /**< cycles across the interval's start or end (not counted) */
    int32_t flagged;               /**< 1: an invalid cycle lay within or across the interval */
    int32_t reserved;
} PowerTenSecondFrequency;

/** Extension: enable the 10-s frequency (plain store; default false). */
POWERGPU_API PowerStatusCode setTenSecondFrequencyEnabled(PowerModuleHandle handle, bool enabled);
POWERGPU_API PowerStatusCode getTenSecondFrequencyEnabled(PowerModuleHandle handle, bool* out);
/**
 * Extension: clock time of running sample index 0, seconds (plain store;
 * default 0; finite, else rejected).
 */
POWERGPU_API PowerStatusCode setClockTimeAtSampleIndexZero(PowerModuleHandle handle, double seconds);
POWERGPU_API PowerStatusCode getClockTimeAtSampleIndexZero(PowerModuleHandle handle, double* out);
/**
 * Extension: moves up to maxCount completed intervals, oldest first, into
 * the caller's array records; *count receives how many. With maxCount 0
 * nothing moves and *count receives the number waiting. At most 60480
 * (a week) wait; beyond that the oldest are dropped (see index). Rejected
 * for a negative maxCount, null count, null records with maxCount above 0,
 * and unless the 10-s frequency was enabled, with period values, at the
 * last reset.
 */
POWERGPU_API PowerStatusCode getTenSecondFrequencies(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                                     PowerTenSecondFrequency* records);

/* ------------------------------------- extensions: grouped harmonic analysis */

/*
 * Extension: beside the harmonic tables of the general results (which it
 * leaves unchanged), an analysis of every scheduled window with a
 * rectangular window over exactly the window's samples, in the manner of
 * the power-quality measurement standards: the transform of the window's
 * own length N gives bins fs / N apart (5 Hz for 10 periods at 50 Hz or 12
 * at 60 Hz), and per channel and order h it gives
 *
 *   subgroup       Y_sg,h:  rss of the bin nearest h f and its two neighbours;
 *   interharmonic  Y_isg,h: rss of the bins between orders h and h + 1
 *                  without the bins next to either (centred subgroup);
 *   group          Y_g,h:   rss of the bins within half a fundamental on either
 *                  side of the order, the two edge bins at half power when the
 *                  window holds an even number M of periods:
 *                  Y_g,h^2 = Y_(k-M/2)^2 / 2 + sum_(i=-M/2+1..M/2-1) Y_(k+i)^2 + Y_(k+M/2)^2 / 2;
 *   THDS, THDG:    100 sqrt(sum_(h=2..H) Y_sg,h^2) / Y_sg,1, the same of the groups.
 *
 * Bin values are rms values (|X_k| sqrt 2 / N; the mean |X_0| / N). M is the
 * number of periods in the window rounded to the nearest integer, and the
 * bin of order h the one nearest h f N / fs: a window that does not hold a
 * whole number of periods (the frequency off nominal) is analysed with the
 * nearest bins, as the spectrum offers no better. Order 0 holds the mean
 * (subgroup and group) and the interharmonic subgroup below the
 * fundamental. Orders run up to the highest order setting H, and no higher
 * than the last order whose subgroup lies below half the sample rate; the
 * rest of the arrays is zero.
 *
 * Channels: the phase voltages U1..U3 (on delta grids derived from the
 * line-to-line voltages, as in the harmonic tables) and, with currents
 * enabled, the currents I1..I3 (the third derived where only two are
 * measured, and left out when setIecHarmonicsCurrentsEnabled(false));
 * channels the grid lacks or the analysis leaves out are zero. The settings
 * rebuild the module like the other rebuilding setters. A record is made
 * for every window delivered by getResults while the analysis was enabled
 * by the last rebuild (a window of one sample has no spectrum: its record
 * has highestOrder 0 and zero values), and waits in a queue of at most 1024 records (the oldest dropped)
 * until getIecHarmonics moves it to the caller. Disabling the analysis
 * forgets the records waiting; reset does not.
 */

/** Orders per array of a channel (0..50) and channels per record. */
#define POWER_IEC_ORDER_COUNT 51
#define POWER_IEC_CHANNEL_COUNT 6

/** Grouped harmonic values of one channel of one window (1240 bytes). */
typedef struct PowerIecHarmonicChannel {
    double subgroup[POWER_IEC_ORDER_COUNT];      /**< Y_sg,h, V or A rms; [0] the mean */
    double interharmonic[POWER_IEC_ORDER_COUNT]; /**< Y_isg,h between h and h + 1, rms */
    double group[POWER_IEC_ORDER_COUNT];         /**< Y_g,h, rms; [0] the mean */
    double thds;                                 /**< subgroup THD, % of Y_sg,1 (0 when Y_sg,1 is 0) */
    double thdg;                                 /**< group THD, % of Y_g,1 (0 when Y_g,1 is 0) */
} PowerIecHarmonicChannel;

/** The grouped harmonic analysis of one window (7472 bytes). */
typedef struct PowerIecHarmonics {
    uint64_t firstSampleIndex; /**< running index of the window's first sample */
    uint32_t length;           /**< samples in the window (the transform length) */
    int32_t highestOrder;      /**< orders 1..highestOrder are computed */
    double frequency;          /**< the window's fundamental frequency as scheduled, Hz */
    int32_t binsPerPeriod;     /**< M: periods in the window, rounded (bins per fundamental) */
    uint8_t voltageCount;      /**< voltage channels filled (channels 0..voltageCount-1) */
    uint8_t currentCount;      /**< current channels filled (channels 3..3+currentCount-1) */
    uint8_t reserved[2];
    PowerIecHarmonicChannel channels[POWER_IEC_CHANNEL_COUNT]; /**< U1, U2, U3, I1, I2, I3 */
} PowerIecHarmonics;

/** Extension: enable the grouped harmonic analysis (default false). Rebuilding setter. */
POWERGPU_API PowerStatusCode setIecHarmonicsEnabled(PowerModuleHandle handle, bool enabled);
/** Extension: the analysis enabled (stored value). */
POWERGPU_API PowerStatusCode getIecHarmonicsEnabled(PowerModuleHandle handle, bool* out);
/** Extension: highest order H, 1..50 (default 50; others are rejected). Rebuilding setter. */
POWERGPU_API PowerStatusCode setIecHarmonicsHighestOrder(PowerModuleHandle handle, int32_t order);
/** Extension: the highest order (stored value). */
POWERGPU_API PowerStatusCode getIecHarmonicsHighestOrder(PowerModuleHandle handle, int32_t* out);
/**
 * Extension: analyse the currents beside the voltages (default true; only
 * where currents are enabled). Without them the records have currentCount
 * 0 and the analysis costs about half: for callers that evaluate only the
 * supply voltage. Rebuilding setter.
 */
POWERGPU_API PowerStatusCode setIecHarmonicsCurrentsEnabled(PowerModuleHandle handle, bool enabled);
/** Extension: the currents analysed (stored value). */
POWERGPU_API PowerStatusCode getIecHarmonicsCurrentsEnabled(PowerModuleHandle handle, bool* out);
/**
 * Extension: moves up to maxCount records of delivered windows, oldest
 * first, into the caller's array records; *count receives how many. With
 * maxCount 0 nothing moves and *count receives the number waiting.
 * Rejected (nothing moves) for a negative maxCount, a null count, null
 * records with maxCount above 0, and while the last rebuild did not enable
 * the analysis.
 */
POWERGPU_API PowerStatusCode getIecHarmonics(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                             PowerIecHarmonics* records);

/* ------------------------------------------------ extensions: cycle detection */

/*
 * Extension: a detector of the cycles of the fundamental in a reference
 * voltage, whose entries are what scheduleForPeriodCalculation takes. It
 * needs no module and runs on the host under both backends.
 *
 * Method. The reference is band-pass filtered around the nominal frequency
 * f0 by a linear-phase FIR filter: a Blackman-windowed difference of two
 * sinc low-passes at 1.5 f0 and 0.5 f0, round(filterCycles fs / f0) taps
 * made odd (at least 5), scaled to unit gain at f0 (pass band about 0.8 to
 * 1.2 f0, about -74 dB below 0.2 f0 and above 1.8 f0). Its group delay of
 * (taps - 1) / 2 samples is compensated exactly. The filter runs by FFT
 * convolution in single precision over blocks aligned to absolute sample
 * positions, so the entries do not depend on how the samples are split
 * into calls: any split gives the same bits. Non-finite samples, and
 * samples beyond 1e20 in magnitude (whose single-precision filter sums
 * could overflow), count as 0.
 *
 * A cycle runs from one positive-going zero crossing of the filtered signal
 * to the next; each crossing is located between samples by the cubic
 * through the four samples around it, refined by Newton steps. A crossing
 * is accepted only after the filtered signal went below minus hysteresis x
 * sqrt 2 x the reference level since the last one (noise near zero makes
 * no cycles), and a crossing sooner than 1/1.5 of a nominal cycle after
 * the last one (the filter ringing after a spike) does not end a cycle, so
 * no cycle is shorter than that. A cycle is valid when its length is
 * within tolerance of the nominal length, its amplitude (the rms of the
 * filtered signal over the cycle) is at least minAmplitude x the reference
 * level, and neither of its crossings lies within the filter delay of the
 * signal's start or end (the filter had not settled there). The reference
 * level is nominalRms when that is positive, else it is learnt: the
 * largest median so far of the amplitudes of the last 50 cycles of valid
 * length (0 until the first).
 *
 * Every sample from startIndex on is covered by exactly one entry, in
 * order: measured cycles (POWER_CYCLE_MEASURED), filler pieces of about
 * nominal length where no crossing came for maxGapCycles nominal cycles
 * (POWER_CYCLE_FILLER, invalid), and the partial pieces before the first
 * crossing and after the last (POWER_CYCLE_PARTIAL, invalid). Starts and
 * lengths are in positions, 1/positionsPerSample of a sample, as the
 * module's sample rate setting counts them; an entry longer than 2^31 - 1
 * positions is split (the pieces before the last invalid). The frequency
 * of a measured cycle is sampleRate / (its length in samples), from the
 * unrounded crossing times. From the anchor (the first crossing, or the
 * start when no crossing came within the gap limit) on, every entry that
 * ends at a crossing spans exactly one cycle at the frequency it carries,
 * fillers included, so period values stay aligned to the crossings after
 * a gap; the pieces before the anchor and after the last crossing carry
 * the nominal frequency.
 *
 * Latency: the filter works in blocks, so the entries trail the samples by
 * up to the filter latency (getFilterLatency) plus maxGapCycles nominal
 * cycles; flush hands out the rest. Memory stays bounded whatever the
 * length of the signal, apart from the entries waiting to be taken.
 */

/** Kinds of a cycle entry. */
#define POWER_CYCLE_MEASURED 0
#define POWER_CYCLE_FILLER 1
#define POWER_CYCLE_PARTIAL 2

/** Opaque detector handle: created by powerCycleDetector_create (in C++ a PowerCycleDetector). */
#ifdef __cplusplus
}
class PowerCycleDetector;
typedef PowerCycleDetector* PowerCycleDetectorHandle;
extern "C" {
#else
typedef struct PowerCycleDetector* PowerCycleDetectorHandle;
#endif

/** Settings of a cycle detector (80 bytes). */
typedef struct PowerCycleDetectorSettings {
    double sampleRate;          /**< Hz, finite, at least 4 x nominalFrequency */
    double nominalFrequency;    /**< f0, Hz, finite and positive (default 50) */
    int64_t positionsPerSample; /**< positions per sample, 1000 .. 2^31 - 1 (default 1000) */
    uint64_t startIndex;        /**< running index of the first sample fed; x positionsPerSample below 2^62 (default 0) */
    double tolerance;           /**< largest relative deviation of a valid cycle's length (default 0.15) */
    double nominalRms;          /**< rms of the reference at nominal level; NaN or <= 0: learnt (default NaN) */
    double minAmplitude;        /**< smallest valid amplitude, fraction of the reference level (default 0.1) */
    double hysteresis;          /**< re-arming depth, fraction of the reference peak (default 0.02) */
    double filterCycles;        /**< filter length, nominal cycles (default 10) */
    double maxGapCycles;        /**< nominal cycles without a crossing before fillers, >= 1.5 (default 2) */
} PowerCycleDetectorSettings;

/** One entry: a cycle or a piece covering samples without one (32 bytes). */
typedef struct PowerCycleEntry {
    uint64_t start;     /**< position of the first sample (sample index x positionsPerSample) */
    int32_t length;     /**< positions */
    int8_t kind;        /**< POWER_CYCLE_MEASURED, _FILLER or _PARTIAL */
    uint8_t valid;      /**< 1: a valid measured cycle */
    uint16_t reserved;  /**< 0 */
    double frequency;   /**< Hz */
    double amplitude;   /**< rms of the filtered fundamental over the cycle; NaN for fillers and partial pieces */
} PowerCycleEntry;

/** Extension: fills settings with the defaults above (sampleRate 0: the caller sets it). */
POWERGPU_API PowerStatusCode powerCycleDetector_defaultSettings(PowerCycleDetectorSettings* settings);
/**
 * Extension: creates a detector; *detector receives it (null on failure).
 * Settings out of the ranges above are rejected, the message naming the
 * field.
 */
POWERGPU_API PowerStatusCode powerCycleDetector_create(const PowerCycleDetectorSettings* settings,
                                                       PowerCycleDetectorHandle* detector);
/** Extension: destroys a detector (null is accepted). */
POWERGPU_API PowerStatusCode powerCycleDetector_destroy(PowerCycleDetectorHandle detector);
/**
 * Extension: feeds the next count samples of the reference. Rejected for a
 * negative count, null samples with a positive count, after the flush, and
 * where the signal would run past the positions the entries can describe
 * ((startIndex + samples) x positionsPerSample at 2^62, with the filter's
 * tail).
 */
POWERGPU_API PowerStatusCode powerCycleDetector_process(PowerCycleDetectorHandle detector, const double* samples,
                                                        int64_t count);
/**
 * Extension: ends the signal: the entries up to its last sample become
 * ready (crossings within the filter delay of the end invalid, a partial
 * piece after the last crossing). A second flush does nothing.
 */
POWERGPU_API PowerStatusCode powerCycleDetector_flush(PowerCycleDetectorHandle detector);
/**
 * Extension: moves up to maxCount completed entries, oldest first, into the
 * caller's array entries; *count receives how many. With maxCount 0 nothing
 * moves and *count receives the number waiting. Rejected for a negative
 * maxCount, a null count and null entries with maxCount above 0.
 */
POWERGPU_API PowerStatusCode powerCycleDetector_takeEntries(PowerCycleDetectorHandle detector, int32_t maxCount,
                                                            int32_t* count, PowerCycleEntry* entries);
/**
 * Extension: the anchor: *known receives whether it is known yet (no later
 * than the first entry) and *position the position of the first crossing
 * (or of the start, see above; 0 while unknown).
 */
POWERGPU_API PowerStatusCode powerCycleDetector_getAnchor(PowerCycleDetectorHandle detector, bool* known,
                                                          uint64_t* position);
/** Extension: the reference level that validity and hysteresis use now (0: not learnt yet). */
POWERGPU_API PowerStatusCode powerCycleDetector_getReferenceLevel(PowerCycleDetectorHandle detector, double* level);
/** Extension: the samples fed so far. */
POWERGPU_API PowerStatusCode powerCycleDetector_getSamplesConsumed(PowerCycleDetectorHandle detector,
                                                                   uint64_t* count);
/** Extension: the filter's delay, (taps - 1) / 2 samples. */
POWERGPU_API PowerStatusCode powerCycleDetector_getFilterDelay(PowerCycleDetectorHandle detector, int32_t* samples);
/**
 * Extension: the most samples by which the filtered signal trails the
 * input: the filter delay plus a block of the FFT convolution, less one.
 */
POWERGPU_API PowerStatusCode powerCycleDetector_getFilterLatency(PowerCycleDetectorHandle detector,
                                                                 int32_t* samples);
/**
 * Extension: the band-pass filter's taps in double, as designed (2 x delay
 * + 1 of them, unit gain at the nominal frequency): up to maxCount of them,
 * first to last, into the caller's array taps; *count receives how many.
 * With maxCount 0 nothing is copied and *count receives the tap count.
 * Rejected for a negative maxCount, a null count and null taps with
 * maxCount above 0.
 */
POWERGPU_API PowerStatusCode powerCycleDetector_getFilterTaps(PowerCycleDetectorHandle detector, int32_t maxCount,
                                                              int32_t* count, double* taps);

#ifdef __cplusplus
}
#endif

#endif /* POWERGPU_H */
