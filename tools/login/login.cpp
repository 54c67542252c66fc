// `nimbus login`: signs in with one of the flows (browser, pasted address,
// device code; see flow.h), checks the new sign-in against the drive through
// the library, and writes the settings file with the locked writer. The
// command spells no service address: the library builds every grant and
// every request.
#include "login/login.h"

#include "context.h"
#include "curl_io.h"
#include "json_doc.h"
#include "login/client.h"
#include "login/flow.h"
#include "output.h"
#include "settings_file.h"
#include "signals.h"
#include "text.h"

#include <nimbus.h>
#include <yyjson.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace cli {
namespace {

using login::fail_with;
using login::failure;

// What the drive said to the new sign-in.
struct drive_check {
    bool answered = false;
    bool folder = false;
    std::string rotated; // a refresh token the check's grant rotated
    bool lost = false;   // a rotated token that could not be kept
    std::string type;    // the drive's type, when the service said it
    std::string owner;   // the account's display name, when the service said it
};

int check_drive(const std::string &settings, const nimbus_io *io, drive_check *d, failure *f);
bool json_object(const std::string &text);

} // namespace

namespace login {

bool target_of(const options &o, target *t, failure *f) {
    t->path = o.settings_path.empty() ? default_settings_path() : o.settings_path;
    // An existing file: read first, so nothing is signed in for a file that
    // cannot take the result.
    struct stat st;
    t->exists = lstat(t->path.c_str(), &st) == 0;
    t->existing.clear();
    if (t->exists) {
        std::string error;
        if (!read_settings(t->path, &t->existing, &error, &t->identity)) {
            *f = {EXIT_SETTINGS, error};
            return false;
        }
        if (!json_object(t->existing)) {
            *f = {EXIT_SETTINGS,
                  "the settings file " + t->path + " is not a JSON object: fix or remove it first"};
            return false;
        }
    }
    t->root = o.has_root_path ? o.root_path : settings_value(t->existing, "Path");
    return true;
}

// Once a flow holds a refresh token: the drive must answer it, then the
// settings are stored (the rotated token, when the check rotated one).
int finish_signin(const options &o, const target &t, const nimbus_io *io,
                  const std::string &refresh, std::string *page_text) {
    const client &client = t.who;
    const std::string &root = t.root, &path = t.path, &existing = t.existing;
    failure f{EXIT_OTHER, ""};
    auto settings_with = [&](const std::string &token, const std::string &folder) {
        std::string check = client.settings();
        check.pop_back();
        check += ",\"refresh_token\":" + json_string(token);
        if (!folder.empty())
            check += ",\"Path\":" + json_string(folder);
        return check + "}";
    };
    drive_check d;
    int checked = check_drive(settings_with(refresh, root), io, &d, &f);
    // A root folder (Path) the drive does not hold is the one fault
    // the sign-in itself does not share: the sign-in is kept without it,
    // and the command still fails, naming the folder.
    failure root_fault{EXIT_OK, ""};
    if (!root.empty() && (checked == EXIT_NOT_FOUND || (checked == EXIT_SETTINGS && d.answered))) {
        root_fault = {checked,
                      "the root folder (Path) " + root +
                          (checked == EXIT_NOT_FOUND ? " is not on the drive" : " is a file") +
                          ": the sign-in is stored without it; see `nimbus list /` "
                          "and set one with `nimbus login --path FOLDER`"};
        std::string token = d.rotated.empty() ? refresh : d.rotated;
        d = drive_check{};
        checked = check_drive(settings_with(token, ""), io, &d, &f);
        if (d.rotated.empty())
            d.rotated = token == refresh ? "" : token;
    }
    if (checked != EXIT_OK) {
        *page_text = "The sign-in did not complete; the terminal says why.";
        return fail_with(f);
    }
    std::vector<member> updates = {{"ClientId", client.id}};
    if (client.is_public) {
        updates.emplace_back("ClientSecret", kSettingRemove);
        updates.emplace_back("PublicClient", kSettingTrue);
    } else {
        updates.emplace_back("ClientSecret", client.secret);
        updates.emplace_back("PublicClient", kSettingRemove);
    }
    updates.emplace_back(refresh_token_key(existing, "refresh_token"),
                         d.rotated.empty() ? refresh : d.rotated);
    // The drive says what it is; when it did not, a type already stored
    // is kept. A national cloud has work and school drives only.
    if (client.national() || d.type == "business" || d.type == "documentLibrary")
        updates.emplace_back("RuntimeType", "ONEDRIVEB");
    else if (d.type == "personal" || settings_value(existing, "RuntimeType").empty())
        updates.emplace_back("RuntimeType", "ONEDRIVE");
    if (!root_fault.message.empty())
        updates.emplace_back("Path", kSettingRemove);
    else if (o.has_root_path)
        updates.emplace_back("Path", o.root_path);
    if (!o.scope.empty())
        updates.emplace_back("scope", o.scope);
    if (!o.cloud.empty())
        updates.emplace_back("Cloud", o.cloud);
    std::string error;
    if (!store_members(path, updates, t.exists ? &t.identity : nullptr, &error,
                       settings_lock_wait(o))) {
        *page_text = "nimbus could not store the settings; the terminal says why.";
        return fail_with(
            {interrupted() ? EXIT_INTERRUPTED : EXIT_OTHER, "cannot store the settings: " + error});
    }
    if (!root_fault.message.empty()) {
        *page_text = "nimbus is signed in, but the folder it was given is not on the drive; "
                     "the terminal says more.";
        std::printf("signed in; settings stored in %s\n", printable(path).c_str());
        return fail_with(root_fault);
    }
    *page_text = "nimbus is signed in.";
    std::string next = o.settings_path.empty() ? "nimbus list /"
                                               : "nimbus --settings " + o.settings_path + " list /";
    std::printf("signed in %s; settings stored in %s; next: %s\n",
                client.is_public ? "as a public client (no client secret)" : "with a client secret",
                printable(path).c_str(), printable(next).c_str());
    // Which account the settings now reach, as the drive names its owner.
    if (!d.owner.empty())
        std::printf("account: %s\n", printable(d.owner).c_str());
    return static_cast<int>(EXIT_OK);
}

} // namespace login

int run_login(const options &o) {
    login::target t;
    failure f{EXIT_OTHER, ""};
    if (!login::target_of(o, &t, &f)) {
        print_error("login: " + f.message);
        return f.status;
    }
    if (!client_of(o, t.existing, &t.who, &f)) {
        // The usage faults keep the wording they always had.
        if (f.message.compare(0, 6, "login ") == 0) {
            print_error(f.message);
            return f.status;
        }
        return fail_with(f);
    }

    int status;
    {
        curl_transport curl(transport_settings(o));
        login::finish_fn done = [&](const std::string &refresh, std::string *page_text) {
            return login::finish_signin(o, t, curl.table(), refresh, page_text);
        };
        status = o.device ? login::device_flow(o, t.who.settings(), curl.table(), done)
                          : login::browser_flow(o, t.who.settings(), curl.table(), done);
    }
    curl_shutdown();
    return status;
}

namespace {

// Opens the drive with the new settings and looks up its root (the
// configured Path): the sign-in must reach a folder. Then asks the drive
// for its type.
int check_drive(const std::string &settings, const nimbus_io *io, drive_check *d, failure *f) {
    nimbus_drive *drive = nullptr;
    int rc = nimbus_drive_open(settings.c_str(), io, &drive);
    if (rc == NIMBUS_OK) {
        nimbus_drive_on_token(
            drive,
            [](void *ctx, const char *token) {
                auto *check = static_cast<drive_check *>(ctx);
                try {
                    check->rotated = token;
                } catch (...) {
                    check->lost = true;
                }
            },
            d);
        rc = nimbus_drive_item(
            drive, "/",
            [](void *ctx, const nimbus_entry *e) {
                auto *check = static_cast<drive_check *>(ctx);
                check->answered = true;
                check->folder = e->folder != 0;
                return 0;
            },
            d);
    }
    std::string message = nimbus_last_error();
    if (rc == NIMBUS_OK && !interrupted()) {
        // Which RuntimeType to store; a drive that does not say keeps the
        // sign-in going (the type is only a label for the host).
        nimbus_drive_about(
            drive,
            [](void *ctx, const nimbus_about *a) {
                auto *check = static_cast<drive_check *>(ctx);
                try {
                    check->type = a->drive_type ? a->drive_type : "";
                    check->owner = a->owner ? a->owner : "";
                } catch (...) {
                    check->type.clear();
                    check->owner.clear();
                }
                return 0;
            },
            d);
    }
    nimbus_drive_close(drive);
    if (interrupted()) {
        *f = {EXIT_INTERRUPTED, "interrupted"};
        return f->status;
    }
    if (rc != NIMBUS_OK) {
        *f = {exit_for(rc), std::string("the drive did not answer the new sign-in: ") +
                                code_name(rc) + ": " + message};
        return f->status;
    }
    if (d->lost) {
        *f = {EXIT_OTHER, "out of memory"};
        return f->status;
    }
    if (!d->folder) {
        *f = {EXIT_SETTINGS, "the root folder (Path) is a file"};
        return f->status;
    }
    return EXIT_OK;
}

bool json_object(const std::string &text) {
    doc_ptr doc = read_json(text);
    return doc && yyjson_is_obj(yyjson_doc_get_root(doc.get()));
}

} // namespace
} // namespace cli
