// The drive handle and its exports: settings parsed once, a copied
// transport table, the access token its users share.
#include <cstring>
#include <new>

#include "auth/auth.h"
#include "host/host.h"
#include "ops/ops.h"
#include "text/text.h"

struct nimbus_drive {
    nimbus_cfg cfg{};
    nimbus_io io{};
    nimbus_shared shared;
    ~nimbus_drive() { nimbus_cfg_free(&cfg); }
};

namespace {

int done(int code, char *msg, const nimbus_cfg *cfg, const char *token,
         nimbus_shared *shared = nullptr) {
    return nimbus_call_done(code, msg, cfg, token, shared);
}

constexpr char OOM[] = "out of memory";

} // namespace

extern "C" {

NIMBUS_API int nimbus_drive_open(const char *settings, const nimbus_io *io, nimbus_drive **out) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!out) {
        nimbus_msgf(msg, sizeof msg, "the place for the handle is NULL");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    *out = nullptr;
    nimbus_cfg cfg{};
    int rc = nimbus_cfg_parse(settings, 1, &cfg, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, nullptr, nullptr);
    if (!io || !io->get || !io->post) {
        nimbus_msgf(msg, sizeof msg, "the transport table lacks get or post");
        rc = done(NIMBUS_E_INVALID, msg, &cfg, nullptr);
        nimbus_cfg_free(&cfg);
        return rc;
    }
    nimbus_drive *drive = new (std::nothrow) nimbus_drive;
    if (!drive) {
        nimbus_msgf(msg, sizeof msg, "%s", OOM);
        rc = done(NIMBUS_E_NOMEM, msg, &cfg, nullptr);
        nimbus_cfg_free(&cfg);
        return rc;
    }
    drive->cfg = cfg;
    drive->io = *io;
    *out = drive;
    return done(NIMBUS_OK, msg, nullptr, nullptr);
}

NIMBUS_API void nimbus_drive_close(nimbus_drive *drive) {
    delete drive;
}

NIMBUS_API void nimbus_drive_on_token(nimbus_drive *drive, nimbus_token_fn fn, void *ctx) {
    if (drive)
        nimbus_shared_on_token(&drive->shared, fn, ctx);
}

NIMBUS_API int nimbus_drive_list(nimbus_drive *drive, const char *folder, nimbus_entry_fn fn,
                                 void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the entry callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, folder, false, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared,         nullptr,
                         false,      false,       nimbus_select::playable};
    rc = nimbus_drive_children(&caller, folder, nullptr, nullptr, fn, ctx, msg, sizeof msg);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_item(nimbus_drive *drive, const char *path_or_id, nimbus_entry_fn fn,
                                 void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the entry callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, path_or_id, true, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared,         nullptr,
                         false,      false,       nimbus_select::playable};
    rc = nimbus_drive_lookup(&caller, path_or_id, fn, ctx, msg, sizeof msg);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_walk(nimbus_drive *drive, const char *folder, int max_depth,
                                 nimbus_entry_fn fn, void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the entry callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, folder, false, msg, sizeof msg);
    if (rc == NIMBUS_OK)
        rc = nimbus_walk_tree(&drive->io, &drive->cfg, &drive->shared, folder, max_depth, fn, ctx,
                              msg, sizeof msg);
    return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
}

NIMBUS_API int nimbus_drive_search(nimbus_drive *drive, const char *text, nimbus_entry_fn fn,
                                   void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the entry callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared,         nullptr,
                         false,      false,       nimbus_select::playable};
    int rc = nimbus_drive_find(&caller, text, fn, ctx, msg, sizeof msg);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_changes(nimbus_drive *drive, const char *folder, const char *cursor,
                                    nimbus_entry_fn fn, void *ctx, char **next_cursor) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (next_cursor)
        *next_cursor = nullptr;
    if (!drive || !fn || !next_cursor) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL",
                    !drive ? "the drive"
                    : !fn  ? "the entry callback"
                           : "the place for the cursor");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, folder, false, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared, nullptr, false, false};
    rc = nimbus_drive_delta(&caller, folder, cursor, fn, ctx, next_cursor, msg, sizeof msg);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_about(nimbus_drive *drive, nimbus_about_fn fn, void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn) {
        nimbus_msgf(msg, sizeof msg, "%s is NULL", drive ? "the callback" : "the drive");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared, nullptr, false, false};
    nimbus_drive_facts f;
    int rc = nimbus_drive_facts_get(&caller, &f, msg, sizeof msg);
    if (rc == NIMBUS_OK) {
        const nimbus_about info = {f.type,      f.owner,   f.total, f.used,
                                   f.remaining, f.deleted, f.state};
        if (fn(ctx, &info) != 0) {
            nimbus_msgf(msg, sizeof msg, "the callback stopped the answer");
            rc = NIMBUS_E_STOPPED;
        }
    }
    nimbus_drive_facts_free(&f);
    rc = done(rc, msg, &drive->cfg, caller.token);
    nimbus_caller_free(&caller);
    return rc;
}

NIMBUS_API int nimbus_drive_thumbnail(nimbus_drive *drive, const char *path_or_id, const char *size,
                                      nimbus_thumbnail_fn fn, void *ctx) {
    char msg[NIMBUS_MSG_SIZE] = {};
    if (!drive || !fn || !nimbus_thumb_size_ok(size)) {
        nimbus_msgf(msg, sizeof msg, "%s",
                    !drive ? "the drive is NULL"
                    : !fn  ? "the callback is NULL"
                           : "the size is not small, medium or large");
        return done(NIMBUS_E_INVALID, msg, nullptr, nullptr);
    }
    int rc = nimbus_drive_arg(&drive->cfg, path_or_id, true, msg, sizeof msg);
    if (rc != NIMBUS_OK)
        return done(rc, msg, &drive->cfg, nullptr, &drive->shared);
    nimbus_caller caller{&drive->io, &drive->cfg, &drive->shared, nullptr, false, false};
    nimbus_thumb t{};
    rc = nimbus_drive_thumb(&caller, path_or_id, size, &t, msg, sizeof msg);
    if (rc == NIMBUS_OK) {
        const nimbus_thumbnail info = {t.url, t.width, t.height};
        if (fn(ctx, &info) != 0) {
            nimbus_msgf(msg, sizeof msg, "the callback stopped the answer");
            rc = NIMBUS_E_STOPPED;
        }
    }
    nimbus_thumb_free(&t);
    rc = done(rc, msg, &drive->cfg, caller.token, &drive->shared);
    nimbus_caller_free(&caller);
    return rc;
}

} // extern "C"

int nimbus_call_done(int code, char *msg, const nimbus_cfg *cfg, const char *token,
                     nimbus_shared *shared) {
    if (code != NIMBUS_OK) {
        if (std::strcmp(msg, OOM) == 0)
            code = NIMBUS_E_NOMEM;
        if (!msg[0])
            nimbus_msgf(msg, NIMBUS_MSG_SIZE, "failed with result code %d", code);
        nimbus_scrub(msg, cfg, token);
        if (shared)
            nimbus_shared_scrub(shared, msg);
        for (char *p = msg; *p; p++)
            if (*p == '\n' || *p == '\r')
                *p = ' ';
    }
    nimbus_publish(code, msg, nullptr);
    return code;
}
