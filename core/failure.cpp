// Failures as values, and their sentences in the user's language.
#include "core/failure.h"

#include "core/output.h"
#include "core/translate.h"

#include <utility>

Failure Fail(FailureKind kind, const std::string &subject, const char *message,
             std::vector<std::string> args) {
    Failure failure;
    failure.kind = kind;
    failure.subject = subject;
    failure.message = message;
    failure.args = std::move(args);
    return failure;
}

Failure SystemFailure(const std::string &subject, int error, const char *message,
                      std::vector<std::string> args) {
    Failure failure = Fail(FailureKind::kSystem, subject, message, std::move(args));
    failure.error = error;
    return failure;
}

std::string FailureMessage(const Failure &failure) {
    if (failure.message == nullptr)
        return SystemText(failure.error);
    const char *format = _(failure.message);
    std::string text;
    size_t next = 0;
    for (const char *p = format; *p != '\0'; p++) {
        if (*p != '%') {
            text += *p;
            continue;
        }
        if (p[1] == '%') {
            text += '%';
            p++;
            continue;
        }
        // %s, or %N$s: the Nth argument.
        size_t index = next++;
        const char *q = p + 1;
        size_t number = 0;
        while (*q >= '0' && *q <= '9')
            number = number * 10 + (size_t)(*q++ - '0');
        if (*q == '$' && number > 0) {
            index = number - 1;
            q++;
        } else {
            q = p + 1;
        }
        if (*q != 's') { // not ours: kept as it is
            text += *p;
            continue;
        }
        if (index < failure.args.size())
            text += failure.args[index];
        p = q;
    }
    return text;
}

std::string FailureText(const Failure &failure) {
    std::string message = FailureMessage(failure);
    return failure.subject.empty() ? message : failure.subject + ": " + message;
}
