#include "station/plan_rules.h"

#include "ports/port_names.h"
#include "station/lot.h"
#include "station/port_file_name.h"

namespace {

bool samePort(const QString &a, const QString &b) {
    if (a == b)
        return true;
    const std::optional<PortChoice> x = ParsePortName(a);
    const std::optional<PortChoice> y = ParsePortName(b);
    return x && y && x->portIndex == y->portIndex && x->portPath == y->portPath;
}

} // namespace

bool IsSha256Text(const QString &text) {
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
            return false;
    }
    return true;
}

std::optional<PlanProblem> CheckPlan(const StationPlan &plan, bool complete) {
    using Kind = PlanProblem::Kind;
    const bool upload = IsUpload(plan.mode);
    if (complete && plan.file.isEmpty())
        return PlanProblem{Kind::NoFile, {}, {}};
    if (complete && plan.ports.isEmpty())
        return PlanProblem{Kind::NoPorts, {}, {}};
    bool patterns = false;
    for (const QString &port : plan.ports) {
        if (const QString why = PortNameProblem(port); !why.isEmpty())
            return PlanProblem{Kind::BadPortName, port, why};
        if (IsPortPattern(port)) {
            if (!plan.watch)
                return PlanProblem{Kind::PatternWithoutWatch, port, {}};
            patterns = true;
        } else if (!ParsePortName(port)) {
            return PlanProblem{Kind::UnknownPort, port, {}};
        }
    }
    // One device, one owner: a port named twice would be opened by two operations at once.
    for (qsizetype i = 0; i < plan.ports.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (samePort(plan.ports[i], plan.ports[j]))
                return PlanProblem{Kind::PortTwice, plan.ports[i], {}};
        }
    }
    if (upload && (plan.ports.size() > 1 || patterns) &&
        !plan.file.contains(QLatin1String(PortPlaceholder)))
        return PlanProblem{Kind::UploadNeedsPortName, {}, {}};
    if (plan.overwrite && !upload)
        return PlanProblem{Kind::OverwriteForDownload, {}, {}};
    if (!plan.expectSha256.isEmpty() && upload)
        return PlanProblem{Kind::ExpectedHashForUpload, {}, {}};
    if (!plan.expectSha256.isEmpty() && !IsSha256Text(plan.expectSha256))
        return PlanProblem{Kind::BadExpectedHash, {}, plan.expectSha256};
    if (!plan.lot.isEmpty())
        if (const QString why = LotNameProblem(plan.lot); !why.isEmpty())
            return PlanProblem{Kind::BadLotName, {}, why};
    if (plan.retries < 0 || plan.retries > MaxRetries)
        return PlanProblem{Kind::RetriesOutOfRange, {}, QString::number(plan.retries)};
    return std::nullopt;
}
