// What every operation makes of one Graph answer before reading it: a
// refused status as its result code and one quoted line, and a success
// status that carries an error envelope as a failure.
#include "ops/ops.h"

int nimbus_answer_check(const nimbus_resp *resp, const char *label, const char *quoted, char *msg,
                        size_t size) {
    int rc = nimbus_status_check(resp, label, quoted, msg, size);
    if (rc != NIMBUS_OK)
        return rc;
    char code[NIMBUS_CODE_SIZE];
    if (msg && size)
        msg[0] = '\0';
    if (nimbus_parse_error(resp->body, resp->len, code, sizeof code, msg, size) != 0 || !code[0])
        return NIMBUS_OK;
    return nimbus_envelope_failure(label, code, msg, size);
}

int nimbus_status_check(const nimbus_resp *resp, const char *label, const char *quoted, char *msg,
                        size_t size) {
    int rc = nimbus_map_graph(resp->status, "", nullptr, nullptr, 0);
    if (rc != NIMBUS_OK) {
        char shown[NIMBUS_URL_MSG];
        char line[NIMBUS_LINE_MSG];
        nimbus_redact_into(quoted, shown, sizeof shown);
        nimbus_body_line(resp->body, line, sizeof line);
        nimbus_msgf(msg, size, "%s: %s answered HTTP %ld%s%s", label, shown, (long)resp->status,
                    line[0] ? ": " : "", line);
    }
    return rc;
}
