#include "daemon/task_factory.h"

#include "sync/detector.h"
#include "sync/progress_syncer.h"
#include "sync/syncer.h"

// The recycle cleaner and worker classes are registered here as they are
// built; until then their slots stay empty.
TaskFactory TaskFactory::Default() {
    TaskFactory f;
    f.detector = [] { return std::make_unique<Detector>(); };
    f.syncer = [] { return std::make_unique<Syncer>(); };
    f.progress_syncer = [] { return std::make_unique<ProgressSyncer>(); };
    return f;
}
