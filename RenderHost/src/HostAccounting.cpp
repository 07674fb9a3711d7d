// What the host has lent out and what it refused or tolerated as wrong
// use: handles, suites, parameter checkouts and misuses.
#include "HostImpl.h"

#include <algorithm>
#include <sstream>

namespace renderhost {

void Host::Impl::Misuse(std::string what) { misuses.push_back(std::move(what)); }

Host::Impl::HandleBlock *Host::Impl::FindBlock(PF_Handle handle) {
    auto it = handles.find(handle);
    return it == handles.end() ? nullptr : it->second.get();
}

std::string Host::Impl::HandleName(PF_Handle handle) {
    if (handle == nullptr) return "null handle";
    const HandleBlock *block = FindBlock(handle);
    return block ? "handle #" + std::to_string(block->id) : "unknown handle";
}

SuiteUse &Host::Impl::Use(const std::string &name, A_long version) {
    for (SuiteUse &use : suite_uses)
        if (use.name == name && use.version == version) return use;
    suite_uses.push_back(SuiteUse{name, version, 0, 0});
    return suite_uses.back();
}

void Host::Impl::DisposeQuietly(PF_Handle handle) { handles.erase(handle); }

std::size_t Host::LiveHandles() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->handles.size();
}

std::size_t Host::LockedHandles() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<std::size_t>(std::count_if(impl_->handles.begin(), impl_->handles.end(),
                                                  [](const auto &h) { return h.second->lock_count > 0; }));
}

std::optional<HandleInfo> Host::FindHandle(PF_Handle handle) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const Impl::HandleBlock *block = impl_->FindBlock(handle);
    if (block == nullptr) return std::nullopt;
    return HandleInfo{block->id, block->size, block->lock_count};
}

std::vector<SuiteUse> Host::SuiteUses() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->suite_uses;
}

int Host::OutstandingSuites() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    int total = 0;
    for (const SuiteUse &use : impl_->suite_uses) total += std::max(0, use.outstanding());
    return total;
}

int Host::OutstandingCheckouts() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<int>(impl_->checkouts.size());
}

int Host::OutstandingCheckouts(PF_ParamIndex index) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<int>(std::count_if(impl_->checkouts.begin(), impl_->checkouts.end(),
                                          [&](const Impl::Checkout &c) { return c.index == index; }));
}

std::vector<std::string> Host::Misuses() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->misuses;
}

std::string Host::LeakReport() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::ostringstream report;
    std::vector<const Impl::HandleBlock *> blocks;
    for (const auto &entry : impl_->handles) blocks.push_back(entry.second.get());
    std::sort(blocks.begin(), blocks.end(), [](auto *a, auto *b) { return a->id < b->id; });
    for (const Impl::HandleBlock *block : blocks) {
        report << "handle #" << block->id << " (" << block->size << " bytes) not disposed of";
        if (block->lock_count > 0)
            report << ", locked " << block->lock_count << (block->lock_count == 1 ? " time" : " times");
        report << '\n';
    }
    for (const SuiteUse &use : impl_->suite_uses)
        if (use.outstanding() > 0)
            report << "suite \"" << use.name << "\" " << use.version << " acquired " << use.acquired
                   << " times, released " << use.released << '\n';
    for (const Impl::Checkout &checkout : impl_->checkouts)
        report << "parameter " << checkout.index << " checked out and not checked in\n";
    for (const std::string &misuse : impl_->misuses) report << "misuse: " << misuse << '\n';
    return report.str();
}

bool Host::IsClean() const { return LeakReport().empty(); }

}  // namespace renderhost
