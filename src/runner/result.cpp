// What a run produces.
#include "runner/result.h"

namespace qvrun {

void ReaderTotals::Count(const TestResult& result) {
    ++tests;
    if (qv::IsFailure(result.judgement.verdict))
        ++mismatches;
    else if (!result.Passed())
        ++errors;
    inBaseline += result.inBaseline == TestResult::InBaseline::Found ? 1 : 0;
    notInBaseline += result.inBaseline == TestResult::InBaseline::Missing ? 1 : 0;
}

std::string CaseClass(const Reader& reader, const Scenario& scenario) {
    std::string name = scenario.path.substr(scenario.path.find_last_of('/') + 1);
    if (name.size() > 4 && name.ends_with(".req"))
        name.resize(name.size() - 4);
    return "reader" + std::to_string(reader.position + 1) + "." + name;
}

std::string CaseName(const Test& test, unsigned run) {
    std::string name =
        std::to_string(test.number) + " " + (test.name.empty() ? "(no name)" : test.name);
    if (run > 1)
        name += " (run " + std::to_string(run) + ")";
    return name;
}

void Observers::ReaderReady(const ReaderSlot& slot) {
    for (RunObserver* observer : observers_)
        observer->ReaderReady(slot);
}

void Observers::Exchanged(const ReaderSlot& slot, const Exchange& exchange) {
    for (RunObserver* observer : observers_)
        observer->Exchanged(slot, exchange);
}

void Observers::TestDone(const ReaderSlot& slot, const TestResult& result) {
    for (RunObserver* observer : observers_)
        observer->TestDone(slot, result);
}

void Observers::ReaderDone(const ReaderSlot& slot, const ReaderTotals& totals) {
    for (RunObserver* observer : observers_)
        observer->ReaderDone(slot, totals);
}

} // namespace qvrun
