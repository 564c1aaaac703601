/*
 * A three-phase demo through the flat interface, in C.
 *
 * Generates 2 s of a 230 V / 50 Hz star system at 10 kHz with a 5 % fifth
 * and 3 % seventh harmonic, a 2 % unbalance and currents lagging by 30
 * degrees, feeds it block by block, schedules one window every 10 periods
 * and prints the results of the windows as a table, followed by the
 * half-cycle RMS values of phase 1.
 *
 *   three_phase_demo [cpu|cuda|auto]
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "powergpu.h"

#define SAMPLE_RATE 10000.0
#define FREQUENCY 50.0
#define WINDOW 2000 /* 10 periods at 50 Hz */
#define BLOCK 500
#define SECONDS 2

static const double kPi = 3.14159265358979323846;

static int check(PowerModuleHandle module, PowerStatusCode status, const char* what) {
    if (status != POWER_STATUS_SUCCESS) {
        char message[512];
        int32_t length = 0;
        getLastErrorMessage(module, message, (int32_t)sizeof message, &length);
        fprintf(stderr, "%s failed with status %d: %s\n", what, (int)status, message);
        return 0;
    }
    return 1;
}

#define CHECK(call)                          \
    do {                                     \
        if (!check(module, (call), #call)) { \
            powerModule_destroy(module);     \
            return 1;                        \
        }                                    \
    } while (0)

static double voltage(int phase, double t) {
    const double shift = -2.0 * kPi * phase / 3.0;
    const double amplitude = 230.0 * sqrt(2.0) * (phase == 0 ? 1.02 : 1.0);
    const double w = 2.0 * kPi * FREQUENCY * t;
    return amplitude * (sin(w + shift) + 0.05 * sin(5.0 * (w + shift)) + 0.03 * sin(7.0 * (w + shift)));
}

static double current(int phase, double t) {
    const double shift = -2.0 * kPi * phase / 3.0 - kPi / 6.0;
    return 10.0 * sqrt(2.0) * sin(2.0 * kPi * FREQUENCY * t + shift);
}

static void printWindow(const PowerResultsGeneral* r) {
    printf("window ending at %6.3f s (%u samples, %.1f Hz)\n", r->time, r->length, r->frequency);
    printf("  phase   U rms    I rms      P (W)    Q (var)    S (VA)     PF   THD U %%   U1 rms\n");
    for (int c = 0; c < r->phasesCount; ++c) {
        const PowerResultsChannel* ch = &r->channels[c];
        printf("  L%d   %7.2f  %7.3f  %9.1f  %9.1f  %9.1f  %5.3f  %7.3f  %7.2f\n", c + 1, ch->rmsU, ch->rmsI,
               ch->p, ch->q, ch->s, ch->lambda, ch->thdU.thd, ch->h1U);
    }
    const PowerResultsChannel* sum = &r->channels[r->phasesCount];
    printf("  total                   %9.1f  %9.1f  %9.1f  %5.3f\n", sum->p, sum->q, sum->s, sum->lambda);
    printf("  unbalance u0 %.3f %%  u2 %.3f %%\n", r->symmetricalResults[0].uRatio,
           r->symmetricalResults[2].uRatio);
}

int main(int argc, char** argv) {
    int32_t backend = POWER_BACKEND_AUTOMATIC;
    if (argc > 1) {
        backend = strcmp(argv[1], "cpu") == 0 ? POWER_BACKEND_CPU
                  : strcmp(argv[1], "cuda") == 0 ? POWER_BACKEND_CUDA
                                                  : POWER_BACKEND_AUTOMATIC;
    }
    PowerModuleHandle module = powerModule_createOnBackend(backend);
    if (module == NULL) {
        fprintf(stderr, "the requested backend is not available\n");
        return 1;
    }
    int32_t used = 0;
    CHECK(getBackend(module, &used));
    printf("powergpu three-phase demo on the %s backend\n\n", used == POWER_BACKEND_CUDA ? "CUDA" : "CPU");

    CHECK(beginUpdate(module));
    CHECK(setSampleRate(module, SAMPLE_RATE, 1000));
    CHECK(setBufferLength(module, (int32_t)SAMPLE_RATE));
    CHECK(setGridConfigType(module, ThreePhaseStar));
    CHECK(setStaticFrequency(module, FREQUENCY, 0.1));
    CHECK(setHighestRequestedHarmonic(module, 50));
    CHECK(setThdEnabled(module, true));
    CHECK(setSymmetricalComponentsEnabled(module, true));
    CHECK(setPeriodValuesEnabled(module, true));
    CHECK(setHalfPeriodValuesCount(module, 2));
    CHECK(setPeriodValuesOverlapInPercent(module, 50));
    CHECK(endUpdate(module));
    CHECK(reset(module, 0));

    uint8_t phases = 0;
    CHECK(getPhasesCount(module, &phases));
    float* u[3];
    float* i[3];
    for (uint8_t c = 0; c < phases; ++c) {
        CHECK(getWaveformBufferUInput(module, c, &u[c]));
        CHECK(getWaveformBufferI(module, c, &i[c]));
    }

    const uint64_t total = (uint64_t)(SECONDS * SAMPLE_RATE);
    const uint64_t ring = (uint64_t)SAMPLE_RATE;
    const int32_t positions = 1000;
    const double samplesPerCycle = SAMPLE_RATE / FREQUENCY;
    uint64_t written = 0;
    uint64_t nextWindow = 0;
    uint64_t nextCycle = 0;
    PowerResultsGeneral results[4];
    int printed = 0;
    int printedHalfCycles = 0;
    while (written < total) {
        for (uint32_t k = 0; k < BLOCK; ++k) {
            const uint64_t n = written + k;
            const double t = (double)n / SAMPLE_RATE;
            for (uint8_t c = 0; c < phases; ++c) {
                u[c][n % ring] = (float)voltage(c, t);
                i[c][n % ring] = (float)current(c, t);
            }
        }
        CHECK(writeSamples(module, BLOCK));
        written += BLOCK;
        while (nextWindow + WINDOW <= written) {
            CHECK(scheduleForCalculation(module, nextWindow, WINDOW, FREQUENCY));
            nextWindow += WINDOW;
        }
        /* The cycles of the fundamental, as a cycle detector would report them. */
        while ((double)(nextCycle + 1) * samplesPerCycle <= (double)written) {
            uint64_t start = (uint64_t)(nextCycle * samplesPerCycle * positions);
            int32_t length = (int32_t)(samplesPerCycle * positions);
            double frequency = FREQUENCY;
            bool valid = true;
            CHECK(scheduleForPeriodCalculation(module, 1, &start, &length, &frequency, &valid));
            ++nextCycle;
        }
        bool ready = false;
        CHECK(isAnyResultReady(module, &ready));
        if (ready) {
            int32_t count = 0;
            CHECK(getResults(module, 4, &count, results));
            for (int32_t k = 0; k < count; ++k) {
                if (printed < 3) {
                    printWindow(&results[k]);
                    printf("\n");
                }
                ++printed;
            }
        }
        int32_t values = 0;
        bool more = false;
        PowerResultsPeriod* records = NULL;
        do {
            CHECK(getPeriodResults(module, &values, &more, &records));
            for (int32_t k = 0; k < values && printedHalfCycles < 8; ++k, ++printedHalfCycles) {
                const PowerResultsPeriod* phase1 = &records[k * (phases + 1) + 1];
                printf("half-cycle value at %6.3f s: U1 rms %7.3f V, U1 fundamental %7.3f V, phi1 %6.2f deg\n",
                       phase1->time, phase1->rmsU, phase1->h1U, phase1->phi1);
            }
        } while (more);
    }
    printf("\n%d windows analysed.\n", printed);
    CHECK(powerModule_destroy(module));
    return 0;
}
