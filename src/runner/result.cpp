// What a run produces.
#include "runner/result.h"

namespace qvrun {

void ReaderTotals::Count(const TestResult& result) {
    ++tests;
    if (result.judgement.verdict == Verdict::Mismatch)
        ++mismatches;
    else if (!result.Passed())
        ++errors;
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
