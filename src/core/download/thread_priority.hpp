// The priority of the threads that move a package.
#pragma once

namespace tvlib::download {

// Puts the calling thread below the host's own threads. A download runs
// beside the host's interface thread, which has a slot to run for every
// piece; on a machine with few cores our threads, the release service's
// and the interface thread would otherwise share them evenly, and the
// interface thread would wait for a core while the download runs ahead of
// what it can show. Below-normal is not idle: a busy host slows the download
// down without stopping it. Best effort; failures are ignored.
void lower_thread_priority() noexcept;

}  // namespace tvlib::download
