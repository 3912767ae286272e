#include "daemon/task_factory.h"

// The detector, recycle cleaner, syncer, progress syncer and worker classes
// are registered here as they are built; until then their slots stay empty.
TaskFactory TaskFactory::Default() {
    return TaskFactory();
}
