#include "event/event.h"

#include <gtest/gtest.h>

#include "event/event_list2.h"

namespace {

Event Make(Event::Type type, uint32_t mode, const char* path, uint64_t sync_id = 0, uint64_t size = 0,
           const char* hash = "") {
    Event e;
    e.m_type = type;
    e.m_mode = mode;
    e.m_path = path;
    e.m_sync_id = sync_id;
    e.m_data_size = size;
    e.m_data_hash = hash;
    return e;
}

TEST(EventTest, DefaultAndClearedRecordsAreEmpty) {
    Event e;
    EXPECT_FALSE(e.isValid());
    EXPECT_EQ(e.toString(), "Event<EV_EMPTY>: [0]  (local,file) size = 0, hash = ");

    Event full = Make(Event::EV_MODIFY, Event::F_SERVER | Event::F_DIR, "/x", 9, 3, "h");
    full.m_opt = "/y";
    full.m_mac_attr_hash = "m";
    full.m_mac_attr_size = 4;
    full.m_sess_id = 5;
    full.m_exec_bit = 1;
    full.m_time = 6;
    full.m_max_id = 7;
    full.clear();
    EXPECT_EQ(full.toString(), Event().toString());
    EXPECT_EQ(full.m_sess_id, 0u);
    EXPECT_TRUE(full.m_opt.empty());
    EXPECT_EQ(full.m_exec_bit, 0u);
}

TEST(EventTest, ToStringForms) {
    struct Case {
        Event e;
        const char* text;
    } cases[] = {
        {Make(Event::EV_MODIFY, 0, "/docs/a.txt", 0, 42),
         "Event<EV_MODIFY>: [0] /docs/a.txt (local,file) size = 42, hash = "},
        {Make(Event::EV_CREATE, Event::F_SERVER, "/f", 17, 5, "abc"),
         "Event<EV_ADD>: [17] /f (server,file) size = 5, hash = abc"},
        {Make(Event::EV_REMOVE, Event::F_DIR, "/d"), "Event<EV_REMOVE>: [0] /d (local,dir)"},
        {Make(Event::EV_CREATE, Event::F_DIR | Event::F_SERVER | Event::F_EXPAND, "/d", 3),
         "Event<EV_ADD>: [3] /d (server,dir,expand)"},
        {Make(Event::EV_CREATE, Event::F_EXPAND, "/g"), "Event<EV_ADD>: [0] /g (local,file,expand) size = 0, hash = "},
    };
    for (const Case& c : cases) EXPECT_EQ(c.e.toString(), c.text);

    Event rename = Make(Event::EV_RENAME, Event::F_SERVER, "/old", 0, 8, "hh");
    rename.m_opt = "/new";
    EXPECT_EQ(rename.toString(), "Event<EV_RENAME>: from '/old', to '/new' size = 8, hash = hh");
    rename.setDir();
    EXPECT_EQ(rename.toString(), "Event<EV_RENAME>: from '/old', to '/new'");

    Event odd = Make(static_cast<Event::Type>(9), 0, "/q");
    EXPECT_EQ(odd.toString(), "Event<EV_UNKNOWN>: [0] /q (local,file) size = 0, hash = ");
}

TEST(EventTest, FlagTestsAndSetters) {
    Event e;
    EXPECT_TRUE(e.isLocalEvent());
    EXPECT_TRUE(e.isFile());
    EXPECT_FALSE(e.isSubDirRescan());
    e.setServerEvent();
    e.setDir();
    e.setExpand();
    e.setRescan();
    e.setMerge();
    e.setConflict();
    EXPECT_TRUE(e.isServerEvent() && e.isDir() && e.isExpand() && e.isRescan() && e.isMerge() && e.isConflict());
    e.setFile();
    EXPECT_TRUE(e.isFile());
    EXPECT_EQ(e.m_mode, 2u + 4 + 8 + 16 + 1024);

    using Setter = void (Event::*)();
    using Test = bool (Event::*)() const;
    struct Bit {
        Setter set;
        Test test;
        uint32_t value;
    } bits[] = {
        {&Event::setLocalSubDirRescan, &Event::isLocalSubDirRescan, 64},
        {&Event::setServerSubDirRescan, &Event::isServerSubDirRescan, 128},
        {&Event::setLocalSubDirRescanWithStat, &Event::isLocalSubDirRescanWithStat, 256},
        {&Event::setServerSubDirRescanWithStat, &Event::isServerSubDirRescanWithStat, 512},
    };
    for (const Bit& b : bits) {
        Event x;
        (x.*b.set)();
        EXPECT_EQ(x.m_mode, b.value);
        EXPECT_TRUE((x.*b.test)());
        EXPECT_TRUE(x.isSubDirRescan());
    }
}

TEST(EventTest, SwapExchangesRecords) {
    Event a = Make(Event::EV_CREATE, 0, "/a", 1);
    Event b = Make(Event::EV_REMOVE, Event::F_SERVER, "/b", 2);
    b.m_sess_id = 3;
    a.swap(b);
    EXPECT_EQ(a.m_path, "/b");
    EXPECT_EQ(a.m_sess_id, 3u);
    EXPECT_EQ(b.m_path, "/a");
    EXPECT_EQ(b.m_type, Event::EV_CREATE);
}

TEST(EventTest, ConversionToAttributeAndBackIsLossless) {
    Event e = Make(Event::EV_MODIFY, Event::F_SERVER | Event::F_CONFLICT, "/p/q", 11, 12, "hash");
    e.m_max_id = 13;
    e.m_time = 14;
    e.m_opt = "/opt";
    e.m_mac_attr_hash = "mac";
    e.m_mac_attr_size = 15;
    e.m_sess_id = 16;
    e.m_exec_bit = 1;

    EventList2::Attribute attr;
    attr.nodeID = 99;
    EventList2::ConvertEventToAttr(e, attr);
    EXPECT_EQ(attr.nodeID, 99u);  // no counterpart: left as it was
    EXPECT_EQ(attr.maxSyncID, 13u);
    EXPECT_EQ(attr.path, "/p/q");

    Event back;
    EventList2::ConvertAttrToEvent(attr, back);
    EXPECT_EQ(back.toString(), e.toString());
    EXPECT_EQ(back.m_max_id, e.m_max_id);
    EXPECT_EQ(back.m_time, e.m_time);
    EXPECT_EQ(back.m_opt, e.m_opt);
    EXPECT_EQ(back.m_mac_attr_hash, e.m_mac_attr_hash);
    EXPECT_EQ(back.m_mac_attr_size, e.m_mac_attr_size);
    EXPECT_EQ(back.m_sess_id, e.m_sess_id);
    EXPECT_EQ(back.m_exec_bit, e.m_exec_bit);
    EXPECT_EQ(back.m_mode, e.m_mode);
}

}  // namespace
