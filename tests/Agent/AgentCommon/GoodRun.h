// A default-mode run that went well, with every member the run record shows
// set: the base that record and event tests change one thing of.
#pragma once
#include "AgentCommon/RunRecord.h"

inline RunRecord goodRun() {
    RunRecord r;
    r.run = "r1";
    r.agent = "1.2.3.0";
    r.start = RunRecord::isoUtc(2026, 12, 7, 0, 5, 9, 7);
    r.end = "2026-12-07T00:05:09.900Z";
    r.host = "h1";
    r.pid = 77;
    r.osBuild = "10.0.20348";
    r.argsParsed = true;
    r.localUrl = "127.0.0.1";
    r.localPort = "8080";
    r.peerUrl = "0.0.0.0";
    r.peerPort = "0";
    r.tag = "t\"ag";
    r.volumes = {"C:\\"};
    r.simulator = false;
    r.status = 0;
    r.ticksPerSecond = 1000000;
    r.quiescedTicks = 5000000;
    r.statusWrittenTicks = 5000400;
    r.thawSetTicks = 5012345;
    r.flowStartTicks = 4000000;
    r.flowEndTicks = 5500000;
    r.snapshotSetStarted = true;
    r.servers = {{"local", "127.0.0.1", 8080, {true, true, 0, 100, 2100}, {true, true, 0, 5000100, 5011100}}};
    r.readNotificationReceived = false;
    r.writers = {{"System Writer", 1, 0, "{W1}", "{I1}", "BackupComplete"}};
    r.volumesAdded = {{"\\\\?\\Volume{1}\\", 0}};
    r.snapshotSetId = "{S}";
    r.requesterResult = 0;
    r.secondSnapshotResult = 0;
    r.settings = {72000, std::nullopt, 62000, 80000, {"base.cfg", "local.cfg"}};
    r.runOnceRegistered = true;
    r.runOnceRemoved = true;
    r.bcdeditDisable = 0;
    r.bcdeditEnable = 0;
    r.stampSaved = false;
    r.stampSaveError = 2;
    r.previousRunUnfinished = {{"r0", 4242, "2026-12-07T00:01:00.000Z", true, false}};
    r.unfinishedNotListed = 3;
    r.markersDropped = 2;
    r.recordNotes = {"finish failed: x"};
    return r;
}
