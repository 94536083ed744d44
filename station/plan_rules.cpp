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

namespace {

// A step's own rules: its file, its expected hash, and an upload's file on several ports.
std::optional<PlanProblem> checkStep(const JobStep &step, int number, bool complete,
                                     bool manyPorts) {
    using Kind = PlanProblem::Kind;
    const bool upload = step.command == StepCommand::Upload;
    if (complete && step.file.isEmpty())
        return PlanProblem{Kind::NoFile, {}, {}, number};
    if (upload && manyPorts && !step.file.contains(QLatin1String(PortPlaceholder)))
        return PlanProblem{Kind::UploadNeedsPortName, {}, {}, number};
    if (!step.expectSha256.isEmpty() && upload)
        return PlanProblem{Kind::ExpectedHashForUpload, {}, {}, number};
    if (!step.expectSha256.isEmpty() && !IsSha256Text(step.expectSha256))
        return PlanProblem{Kind::BadExpectedHash, {}, step.expectSha256, number};
    return std::nullopt;
}

} // namespace

std::optional<PlanProblem> CheckPlan(const StationPlan &plan, bool complete) {
    using Kind = PlanProblem::Kind;
    if (complete && plan.steps.isEmpty())
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
    // A step's problem names the step where there are several.
    for (int k = 0; k < plan.steps.size(); ++k) {
        if (auto problem = checkStep(plan.steps[k], plan.steps.size() > 1 ? k + 1 : 0, complete,
                                     plan.ports.size() > 1 || patterns))
            return problem;
    }
    if (plan.overwrite && !AnyUpload(plan.steps))
        return PlanProblem{Kind::OverwriteForDownload, {}, {}};
    if (!plan.lot.isEmpty())
        if (const QString why = LotNameProblem(plan.lot); !why.isEmpty())
            return PlanProblem{Kind::BadLotName, {}, why};
    if (plan.retries < 0 || plan.retries > MaxRetries)
        return PlanProblem{Kind::RetriesOutOfRange, {}, QString::number(plan.retries)};
    return std::nullopt;
}
