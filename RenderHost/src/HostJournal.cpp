// The call journal and the call counters. Every host call is counted; the
// journal of entries is kept only when the host's options ask for it.
#include "HostImpl.h"

#include <stdexcept>

namespace renderhost {
namespace {

void RequireJournal(const Host::Impl &host) {
    if (!host.keeps_journal)
        throw std::logic_error("this host keeps no call journal: make it with HostOptions::journal on");
}

}  // namespace

const char *HostOpName(HostOp op) {
    switch (op) {
        case HostOp::AcquireSuite:
            return "AcquireSuite";
        case HostOp::ReleaseSuite:
            return "ReleaseSuite";
        case HostOp::NewHandle:
            return "NewHandle";
        case HostOp::LockHandle:
            return "LockHandle";
        case HostOp::UnlockHandle:
            return "UnlockHandle";
        case HostOp::DisposeHandle:
            return "DisposeHandle";
        case HostOp::GetPixelFormat:
            return "GetPixelFormat";
        case HostOp::RegisterWithAEGP:
            return "RegisterWithAEGP";
        case HostOp::AddParam:
            return "AddParam";
        case HostOp::CheckoutParam:
            return "CheckoutParam";
        case HostOp::CheckinParam:
            return "CheckinParam";
        case HostOp::CheckoutLayer:
            return "CheckoutLayer";
        case HostOp::CheckoutLayerPixels:
            return "CheckoutLayerPixels";
        case HostOp::CheckinLayerPixels:
            return "CheckinLayerPixels";
        case HostOp::CheckoutOutput:
            return "CheckoutOutput";
        case HostOp::Fill:
            return "Fill";
        case HostOp::IterateGeneric:
            return "IterateGeneric";
        case HostOp::Sprintf:
            return "Sprintf";
        case HostOp::Strcpy:
            return "Strcpy";
    }
    return "UnknownHostOp";
}

std::string ToString(const JournalEntry &entry) {
    std::string text = HostOpName(entry.op);
    if (!entry.detail.empty()) text += "(" + entry.detail + ")";
    if (entry.result != PF_Err_NONE) text += " -> " + std::to_string(entry.result);
    return text;
}

std::size_t Host::Impl::Record(HostOp op, std::string detail, PF_Err result) {
    ++calls[static_cast<std::size_t>(op)];
    if (!keeps_journal) return kNoEntry;
    journal.push_back(JournalEntry{op, std::move(detail), result});
    return journal.size() - 1;
}

void Host::Impl::Amend(std::size_t entry, HostOp op, PF_Err result) {
    if (entry < journal.size() && journal[entry].op == op) journal[entry].result = result;
}

std::vector<JournalEntry> Host::Journal() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    RequireJournal(*impl_);
    return impl_->journal;
}

std::vector<HostOp> Host::JournalOps() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    RequireJournal(*impl_);
    std::vector<HostOp> ops;
    ops.reserve(impl_->journal.size());
    for (const JournalEntry &entry : impl_->journal) ops.push_back(entry.op);
    return ops;
}

void Host::ClearJournal() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->journal.clear();
}

int Host::Calls(HostOp op) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->calls[static_cast<std::size_t>(op)];
}

}  // namespace renderhost
