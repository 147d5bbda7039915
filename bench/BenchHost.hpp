#pragma once
// The host as the benchmarks assemble it over a backend of their choosing: an injector with a
// momentum queue of its own behind the host's one gate; no catalog, telemetry or advertiser.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/InputBackend.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "Quillon/App/HostCore.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/InputGate.hpp"

#include <memory>

namespace quillon::bench {

struct BenchHost {
    // The injector holds its queue weakly: kept here, and destroyed after the host.
    std::shared_ptr<platform::SerialQueue> momentum;
    std::unique_ptr<HostCore> core;
};

// `lockSource` none: the lock is never observed. The options' display is `geometry`.
inline BenchHost assembleBenchHost(std::shared_ptr<platform::MainQueue> mainQueue,
                                   platform::Defaults& defaults,
                                   std::shared_ptr<PairingStore> store,
                                   std::shared_ptr<platform::InputBackend> backend,
                                   std::shared_ptr<platform::DisplayGeometry> geometry,
                                   std::shared_ptr<platform::SessionLockSource> lockSource,
                                   HostOptions options = {}) {
    BenchHost host;
    host.momentum = std::make_shared<platform::SerialQueue>("quillon-momentum");
    auto gate = std::make_shared<InputGate>();
    auto injector = EventInjector::create({.backend = std::move(backend),
                                           .geometry = geometry,
                                           .defaults = defaults,
                                           .gate = gate,
                                           .scheduler = host.momentum});
    options.server.display = geometry;
    host.core = HostCore::assemble({std::move(mainQueue),
                                    defaults,
                                    std::move(store),
                                    std::move(injector),
                                    std::move(gate),
                                    InputDiagnostics::toDiagLog(defaults),
                                    nullptr,
                                    nullptr,
                                    std::move(lockSource),
                                    nullptr,
                                    {}},
                                   std::move(options));
    return host;
}

} // namespace quillon::bench
