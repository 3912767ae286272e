#include "daemon/task_factory.h"

#include "sync/detector.h"

// The recycle cleaner, syncer, progress syncer and worker classes are
// registered here as they are built; until then their slots stay empty.
TaskFactory TaskFactory::Default() {
    TaskFactory f;
    f.detector = [] { return std::make_unique<Detector>(); };
    return f;
}
