// The host itself: which host is dispatching, the registry of live
// effects, the tables it lends, the suite catalogue and fault injection.
// The operations are in HostSuites.cpp, HostCallbacks.cpp and
// HostFill.cpp; the books in HostAccounting.cpp and HostJournal.cpp.
#include "HostImpl.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace renderhost {
namespace {

// The host that is dispatching a command; see Host::Scope.
std::atomic<Host::Impl *> g_active{nullptr};
std::atomic<long> g_calls_without_host{0};

std::mutex &EffectRegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<Effect::State *> &EffectRegistry() {
    static std::vector<Effect::State *> registry;
    return registry;
}

}  // namespace

Host::Impl *ActiveHost() {
    Host::Impl *host = g_active.load();
    if (host == nullptr) ++g_calls_without_host;
    return host;
}

// ---- Registry of live effects -----------------------------------------

void RegisterEffect(Effect::State *effect) {
    std::lock_guard<std::mutex> lock(EffectRegistryMutex());
    EffectRegistry().push_back(effect);
}

void UnregisterEffect(Effect::State *effect) {
    std::lock_guard<std::mutex> lock(EffectRegistryMutex());
    auto &registry = EffectRegistry();
    registry.erase(std::remove(registry.begin(), registry.end(), effect), registry.end());
}

Effect::State *FindEffect(PF_ProgPtr effect_ref) {
    std::lock_guard<std::mutex> lock(EffectRegistryMutex());
    for (Effect::State *effect : EffectRegistry())
        if (reinterpret_cast<PF_ProgPtr>(effect) == effect_ref)
            return effect->magic == Effect::State::kMagic ? effect : nullptr;
    return nullptr;
}

std::size_t ReturnMessageRoom(const Host::Impl *host, const A_char *buffer) {
    std::lock_guard<std::mutex> registry_lock(EffectRegistryMutex());
    for (Effect::State *effect : EffectRegistry()) {
        if (effect->host != host) continue;
        const A_char *begin = effect->out.return_msg;
        const A_char *end = begin + sizeof(effect->out.return_msg);
        if (std::less_equal<const A_char *>()(begin, buffer) && std::less<const A_char *>()(buffer, end))
            return static_cast<std::size_t>(end - buffer);
    }
    return 0;
}

const char *LentWorldName(const Host::Impl &host, const PF_EffectWorld *world) {
    std::lock_guard<std::mutex> registry_lock(EffectRegistryMutex());
    for (const Effect::State *effect : EffectRegistry()) {
        if (effect->host != &host) continue;
        if (world == &effect->lent_input) return "input";
        if (world == &effect->lent_output) return "output";
    }
    return nullptr;
}

// ---- Host::Impl -------------------------------------------------------

Host::Impl::Impl(HostOptions options) : keeps_journal(options.journal == CallJournal::kOn), pool(options.threads) {
    InstallSuites(*this);
    InstallCallbacks(*this);
    catalogue = {
        {"PF Handle Suite", 2, &handle_suite, SuiteAnswer::kServe, kErrSuiteUnavailable},
        {"PF World Suite", 2, &world_suite, SuiteAnswer::kServe, kErrSuiteUnavailable},
        {"PF Iterate8 Suite", 1, &iterate_suite, SuiteAnswer::kServe, kErrSuiteUnavailable},
        {"AEGP Utility Suite", 7, &utility_suite, SuiteAnswer::kServe, kErrSuiteUnavailable},
    };
}

std::optional<PF_Err> Host::Impl::TakeFault(HostOp op, const char *suite) {
    std::optional<PF_Err> fired;
    for (Fault &fault : faults) {
        if (fault.op != op) continue;
        if (!fault.suite.empty() && (suite == nullptr || fault.suite != suite)) continue;
        if (++fault.seen == fault.nth && !fired) fired = fault.code;
    }
    return fired;
}

// ---- Host -------------------------------------------------------------

Host::Host(HostOptions options) : impl_(std::make_unique<Impl>(options)) {}

Host::~Host() {
    Impl *self = impl_.get();
    g_active.compare_exchange_strong(self, nullptr);
}

Host::Scope::Scope(Host &host) : host_(host) {
    Impl *mine = host.impl_.get();
    Impl *expected = nullptr;
    if (!g_active.compare_exchange_strong(expected, mine) && expected != mine)
        throw std::logic_error("another render host is dispatching: one host at a time per process");
    ++mine->scope_depth;
}

Host::Scope::~Scope() {
    Impl *mine = host_.impl_.get();
    if (--mine->scope_depth == 0) g_active.store(nullptr);
}

const SPBasicSuite *Host::BasicSuite() const { return &impl_->basic; }
PF_UtilCallbacks *Host::Utils() { return &impl_->utils; }
PF_InteractCallbacks Host::Interact() const { return impl_->inter; }
PF_PreRenderCallbacks *Host::PreRenderCallbacks() { return &impl_->pre_render_cb; }
PF_SmartRenderCallbacks *Host::SmartRenderCallbacks() { return &impl_->smart_render_cb; }
int Host::threads() const { return impl_->pool.threads(); }
ThreadPool &Host::pool() { return impl_->pool; }

void Host::SetSuiteAnswer(const std::string &name, A_long version, SuiteAnswer answer, SPErr code) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (Impl::SuiteEntry &entry : impl_->catalogue) {
        if (entry.name == name && entry.version == version) {
            entry.answer = answer;
            entry.code = code;
            return;
        }
    }
    throw std::invalid_argument("no suite \"" + name + "\" " + std::to_string(version) + " in the catalogue");
}

void Host::RemoveSuite(const std::string &name, A_long version) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto &catalogue = impl_->catalogue;
    catalogue.erase(std::remove_if(catalogue.begin(), catalogue.end(),
                                   [&](const Impl::SuiteEntry &e) { return e.name == name && e.version == version; }),
                    catalogue.end());
}

void Host::AddSuite(const std::string &name, A_long version, const void *table) {
    if (table == nullptr) throw std::invalid_argument("a suite needs a function table");
    RemoveSuite(name, version);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->catalogue.push_back(Impl::SuiteEntry{name, version, table, SuiteAnswer::kServe, kErrSuiteUnavailable});
}

void Host::FailOn(HostOp op, int nth, PF_Err code) { FailOnSuite(op, std::string(), nth, code); }

void Host::FailOnSuite(HostOp op, const std::string &suite_name, int nth, PF_Err code) {
    if (nth < 1) throw std::invalid_argument("calls are counted from 1");
    if (!suite_name.empty() && op != HostOp::AcquireSuite && op != HostOp::ReleaseSuite)
        throw std::invalid_argument("a suite name narrows only AcquireSuite and ReleaseSuite");
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.push_back(Impl::Fault{op, suite_name, nth, code});
}

void Host::ClearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.clear();
}

void Host::SetPixelFormatAnswer(PF_PixelFormat code, PF_Err result) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->pixel_format_answer = std::make_pair(code, result);
}

void Host::ClearPixelFormatAnswer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->pixel_format_answer.reset();
}

void Host::SetPluginId(AEGP_PluginID id) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->plugin_id = id;
}

long Host::CallsWithoutHost() { return g_calls_without_host.load(); }

}  // namespace renderhost
