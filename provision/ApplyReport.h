#pragma once
// The report of a plan's run in the forms both front ends save: the JSON array of
// `vqx250-ipconfig apply --json` (one object per module) and the same fields as CSV.
//
// JSON object of a module: "target", "host" and "port" or "slot", "planned", "before",
// "after" (records as {"ip", "mask", "gateway"}, null when unknown), "changes" (names of the
// fields that differ, once the module was read), "written", "bytesWritten",
// "bytesMaybeWritten", "result", "exit", and "error" and "code" on failure.
//
// CSV: the header
//   target,host,port,slot,planned_ip,planned_mask,planned_gateway,before_ip,before_mask,
//   before_gateway,after_ip,after_mask,after_gateway,changes,written,bytes_written,
//   bytes_maybe_written,result,exit,code,error
// then a line per module; unknown records and absent values are empty fields, "changes"
// holds the field names separated by blanks, "written" is "yes" or "no".

#include <vector>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>

#include "ApplyEngine.h"
#include "NetworkRecord.h"

namespace vqx::provision {

/// {"ip": ..., "mask": ..., "gateway": ...}
QJsonObject recordJson(const NetworkRecord& r);
QJsonObject applyItemJson(const ApplyItem& item);
QJsonArray applyReportJson(const std::vector<ApplyItem>& items);
QByteArray applyReportCsv(const std::vector<ApplyItem>& items);

} // namespace vqx::provision
