// What a run produces.
#include "runner/result.h"

#include <algorithm>

namespace qvrun {

void ReaderTotals::Count(const TestResult& result) {
    ++tests;
    if (qv::IsFailure(result.judgement.verdict))
        ++failures;
    else if (!result.Passed())
        ++errors;
    inBaseline += result.inBaseline == TestResult::InBaseline::Found ? 1 : 0;
    notInBaseline += result.inBaseline == TestResult::InBaseline::Missing ? 1 : 0;
}

std::string CaseClass(const Reader& reader, const Scenario& scenario) {
    return "reader" + std::to_string(reader.place + 1) + "." +
           (scenario.caseClass.empty() ? SuiteName(scenario.path, 1) : scenario.caseClass);
}

std::string CaseName(const Test& test, unsigned run) {
    std::string name =
        std::to_string(test.number) + " " + (test.name.empty() ? "(no name)" : test.name);
    if (run > 1)
        name += " (run " + std::to_string(run) + ")";
    return name;
}

void ReaderTotals::Count(const NotRun& skipped) {
    const std::size_t count = skipped.Count();
    const std::size_t stopped = count > 0 && skipped.FirstIsError() ? 1 : 0;
    tests += count;
    errors += stopped;
    notRun += count - stopped;
}

std::size_t NotRun::Count() const {
    std::size_t inRun = 0, rest = 0;
    for (std::size_t file = 0; file < scenarios.size(); ++file) {
        const std::size_t tests = scenarios[file].tests.size();
        inRun += tests;
        if (file > from.file)
            rest += tests;
        else if (file == from.file)
            rest += tests - std::min(from.test, tests);
    }
    // The repetitions not begun: one each test.
    return from.run > runs ? 0 : rest + (from.run < runs ? inRun : 0);
}

void NotRun::ForEach(
    const std::function<void(const Scenario&, const Test&, unsigned, unsigned)>& each) const {
    if (from.run > runs)
        return;
    for (std::size_t file = from.file; file < scenarios.size(); ++file) {
        const auto& tests = scenarios[file].tests;
        for (std::size_t k = file == from.file ? from.test : 0; k < tests.size(); ++k)
            each(scenarios[file], tests[k], from.run, from.run);
    }
    if (from.run == runs)
        return;
    for (const Scenario& scenario : scenarios) {
        for (const Test& test : scenario.tests)
            each(scenario, test, from.run + 1, runs);
    }
}

void Observers::ReaderReady(const ReaderSlot& slot) {
    Tell(&RunObserver::ReaderReady, slot);
}

void Observers::TestStarted(const ReaderSlot& slot, const Scenario& scenario, const Test& test) {
    Tell(&RunObserver::TestStarted, slot, scenario, test);
}

void Observers::Exchanged(const ReaderSlot& slot, const Exchange& exchange) {
    Tell(&RunObserver::Exchanged, slot, exchange);
}

void Observers::TestDone(const ReaderSlot& slot, const TestResult& result) {
    Tell(&RunObserver::TestDone, slot, result);
}

void Observers::TestsNotRun(const ReaderSlot& slot, const NotRun& notRun) {
    Tell(&RunObserver::TestsNotRun, slot, notRun);
}

void Observers::ReaderDone(const ReaderSlot& slot, const ReaderTotals& totals) {
    Tell(&RunObserver::ReaderDone, slot, totals);
}

} // namespace qvrun
