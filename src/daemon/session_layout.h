// Where a session keeps its things on disk, from its sync folder and its
// configuration folder (plain concatenation), and the names of the session
// settings the control requests carry.
#pragma once

#include "base/ustring.h"
#include "session/registry.h"

struct SessionLayout {
    SessionLayout(const ustring& local_path, const ustring& config_path)
        : db_dir(config_path + "/db"),
          event_db(db_dir + "/event-db.sqlite"),
          sign_dir(config_path + "/db/sign"),
          conf_dir(config_path + "/conf"),
          black_list(conf_dir + "/blacklist.filter"),
          white_list(conf_dir + "/whitelist.filter"),
          force_hash_check_list(conf_dir + "/force-hash-check-list.filter"),
          working_dir(local_path + "/" + ".CorvexaWorkingDirectory"),
          recycle_dir(working_dir + "/" + "#CorvRecycle") {}

    ustring db_dir;
    ustring event_db;
    ustring sign_dir;
    ustring conf_dir;
    ustring black_list;
    ustring white_list;
    ustring force_hash_check_list;
    ustring working_dir;
    ustring recycle_dir;
};

// "sync-all", "domain-only", and any other text: the exec bit only.
PermissionMode GetPermissionMode(const ustring& name);
