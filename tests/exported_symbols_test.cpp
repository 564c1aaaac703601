// The shared library's export table: every flat function, every extension
// and the exported data can be found under its plain C name, both by the
// dynamic loader and in the dynamic symbol table.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::vector<std::string>& flatFunctions() {
    static const std::vector<std::string> names = {
        // lifecycle
        "powerModule_create", "powerModule_destroy", "registerErrorReporter",
        // update bracket and processing
        "beginUpdate", "endUpdate", "writeSamples", "skipSamples", "scheduleForCalculation",
        "scheduleForPeriodCalculation", "isAnyResultReady", "getResults", "getPeriodResults", "syncCuda", "reset",
        // waveform rings
        "getWaveformBufferUInput", "getWaveformBufferUStar", "getWaveformBufferUDelta", "getWaveformBufferI",
        "getWaveformBufferClarkeU", "getWaveformBufferClarkeI", "getWaveformBufferParkU", "getWaveformBufferParkI",
        "getWaveformBufferMechAngles",
        // bool getters
        "getClarkeOrParkCurrentsEnabled", "getClarkeOrParkVoltagesEnabled", "getClarkeOrParkWaveformsEnabled",
        "getClarkeTransformEnabled", "getCurrentEnabled", "getFullFftEnabled", "getFundamentalPeriodValuesEnabled",
        "getInterHarmonicsEnabled", "getLineToLineResultsEnabled", "getMechanicalAngleUsed",
        "getParkTransformEnabled", "getPeriodSymmetricalComponentsEnabled", "getPeriodValuesEnabled",
        "getRvcEnabled", "getSymmetricalComponentsEnabled", "getThdEnabled", "getWaveformsEnabled",
        // numeric getters
        "getCurrentsCount", "getVoltagesCount", "getPhasesCount", "getHalfPeriodValuesCount",
        "getPeriodValuesOverlapInPercent", "getHighestRequestedHarmonic", "getThdHighestHarmonic", "getPolePairs",
        "getMechAngleOffset", "getRvcSteadyStateLengthInNumberOfPeriodValues", "getRvcThresholdInPercentOfAverage",
        "getRvcThresholdHysteresisInPercentOfThreshold",
        // setters
        "setBufferLength", "setSampleRate", "setStaticFrequency", "setVariableFrequency", "setGridConfigType",
        "setPeriodCount", "setHalfPeriodValuesCount", "setPeriodValuesOverlapInPercent",
        "setHighestRequestedHarmonic", "setThdHighestHarmonic", "setPolePairs", "setMechAngleOffset",
        "setRvcSteadyStateLengthInNumberOfPeriodValues", "setRvcThresholdInPercentOfAverage",
        "setRvcThresholdHysteresisInPercentOfThreshold", "setClarkeOrParkCurrentsEnabled",
        "setClarkeOrParkVoltagesEnabled", "setClarkeOrParkWaveformsEnabled", "setClarkeTransformEnabled",
        "setParkTransformEnabled", "setCurrentEnabled", "setFullFftEnabled", "setFundamentalPeriodValuesEnabled",
        "setInterHarmonicsEnabled", "setLineToLineResultsEnabled", "setMechanicalAngleUsed",
        "setPeriodSymmetricalComponentsEnabled", "setPeriodValuesEnabled", "setRvcEnabled",
        "setSymmetricalComponentsEnabled", "setThdEnabled", "setWaveformsEnabled",
    };
    return names;
}

const std::vector<std::string>& extensions() {
    static const std::vector<std::string> names = {"powerModule_createOnBackend", "getBackend",
                                                   "getLastErrorMessage", "powerModule_getVersion"};
    return names;
}

const std::vector<std::string>& dataSymbols() {
    static const std::vector<std::string> names = {"reportErrorCallbackFunction", "powerGridConfigs"};
    return names;
}

// The output of a command, or an empty string when it could not run.
std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char chunk[4096];
    std::size_t read = 0;
    while ((read = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output.append(chunk, read);
    }
    pclose(pipe);
    return output;
}

// Defined dynamic symbols by name, with their nm type letter.
std::set<std::string> definedSymbols(const std::string& output) {
    std::set<std::string> names;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t type = line.find(' ');
        if (type == std::string::npos || type + 3 > line.size()) {
            continue;
        }
        names.insert(line.substr(type + 3));  // "<address> <T> <name>"
    }
    return names;
}

class ExportedSymbols : public ::testing::Test {
protected:
    void SetUp() override {
        library = dlopen(POWERGPU_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
    }
    void TearDown() override {
        if (library != nullptr) {
            dlclose(library);
        }
    }
    void* library = nullptr;
};

}  // namespace

TEST_F(ExportedSymbols, EveryFlatFunctionIsFoundByItsCName) {
    ASSERT_EQ(flatFunctions().size(), 84u);
    ASSERT_EQ(std::set<std::string>(flatFunctions().begin(), flatFunctions().end()).size(), 84u);
    for (const std::vector<std::string>* names : {&flatFunctions(), &extensions(), &dataSymbols()}) {
        for (const std::string& name : *names) {
            EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name << ": " << dlerror();
        }
    }
}

TEST_F(ExportedSymbols, LoadedFunctionsAndDataBehaveAsDeclared) {
    using Version = int32_t (*)(int32_t*, int32_t*, int32_t*);
    using Destroy = int32_t (*)(void*);
    const auto version = reinterpret_cast<Version>(dlsym(library, "powerModule_getVersion"));
    const auto destroy = reinterpret_cast<Destroy>(dlsym(library, "powerModule_destroy"));
    ASSERT_NE(version, nullptr);
    ASSERT_NE(destroy, nullptr);
    int32_t major = -1, minor = -1, patch = -1;
    EXPECT_EQ(version(&major, &minor, &patch), 0);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(patch, 0);
    EXPECT_EQ(destroy(nullptr), 0);

    // The reporter pointer starts out null in a freshly loaded copy.
    void* const* reporter = static_cast<void* const*>(dlsym(library, "reportErrorCallbackFunction"));
    ASSERT_NE(reporter, nullptr);
    EXPECT_EQ(*reporter, nullptr);
}

TEST_F(ExportedSymbols, DynamicSymbolTableNamesThemUnmangled) {
    const std::string library = POWERGPU_SHARED_LIBRARY_PATH;
    const std::string plain = run("nm -D --defined-only '" + library + "' 2>/dev/null");
    ASSERT_FALSE(plain.empty()) << "nm could not read " << library;
    const std::set<std::string> names = definedSymbols(plain);
    for (const std::vector<std::string>* list : {&flatFunctions(), &extensions(), &dataSymbols()}) {
        for (const std::string& name : *list) {
            EXPECT_EQ(names.count(name), 1u) << name << " is not exported under its C name";
        }
    }
    // The rotation factors of the symmetrical components are exported data too.
    const std::string demangled = run("nm -DC --defined-only '" + library + "' 2>/dev/null");
    EXPECT_EQ(definedSymbols(demangled).count("PowerSymmetricalComponents::a"), 1u);
}
