// The WebKitGTK browser back end. Page script reaches native objects through the page object,
// whose calls and digests are synchronous requests to URI schemes of the web context answered
// here, each call by the invoker of the skin window whose view (or pop-up) asked. Main thread only.
#include "host/webkit/webkit_web_browser.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>
#include <vector>

#include "core/platform/memory_stream.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/class.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/challenge.h"
#include "host/webkit/webkit_page.h"
#include "skin/native_skin_window.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_window.h"
#include "skin/skin_window_internal.h"
#include "skin/web_browser.h"
#include "workflow/workflow_app.h"

namespace {

constexpr int32_t kTextSize = 320;
constexpr int32_t kDigestSize = 135;
// The largest text the page may hand to "hash" or to a call.
constexpr gsize kBodyLimit = SCRIPTINVOKER_MAX_BODY;
constexpr int32_t kTypeNameSize = 320;
constexpr int32_t kInstanceIdSize = 40;

struct WebKitWebBrowser {
    Class Header;
    GtkWidget* View; // none while not embedded
    SkinWindow* Window;
    WebBrowserViewChangeFunc ViewChange; // kept only: this back end draws no frames itself
    void* ViewChangeUser;
    int32_t DeveloperTools;
    std::vector<GtkWidget*>* Popups; // windows opened by the pages
    ScriptInvoker* Invoker;          // the page object's calls, for the skin window; none while not embedded
};

// Every live browser, to find the one whose view or pop-up sent a call.
std::vector<WebKitWebBrowser*> g_browsers;

WebKitWebBrowser* Rec(WebBrowser* browser) {
    auto* b = reinterpret_cast<WebKitWebBrowser*>(browser);
    CLASS_CHECK(b, WEBKITWEBBROWSER_CLASS_ID);
    return b;
}

ScriptInvoker* g_hashInvoker = nullptr;
bool g_schemeRegistered = false;

// ---- Digests for the page object -------------------------------------------------------------------

void FinishWithError(WebKitURISchemeRequest* request, const char* message) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, message);
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
}

// A text answer, readable from any origin (the skin's pages come from the loopback server).
void FinishWithText(WebKitURISchemeRequest* request, const char* text, gsize length) {
    GInputStream* stream =
        g_memory_input_stream_new_from_data(g_memdup2(text, length), (gssize)length, g_free);
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, (gint64)length);
    webkit_uri_scheme_response_set_content_type(response, "text/plain");
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Access-Control-Allow-Origin", "*");
    webkit_uri_scheme_response_set_http_headers(response, headers);
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
    g_object_unref(stream);
}

// The request's body, at most kBodyLimit bytes; false when it is longer or cannot be read. Reading
// stops at the bound: a longer body is never copied whole.
bool ReadBody(WebKitURISchemeRequest* request, GByteArray* text) {
    GInputStream* body = webkit_uri_scheme_request_get_http_body(request);
    if (!body) return true;
    bool ok = true;
    guint8 chunk[65536];
    for (;;) {
        const gssize n = g_input_stream_read(body, chunk, sizeof(chunk), nullptr, nullptr);
        if (n == 0) break;
        if (n < 0 || text->len + (gsize)n > kBodyLimit) {
            ok = false;
            break;
        }
        g_byte_array_append(text, chunk, (guint)n);
    }
    g_object_unref(body);
    return ok;
}

// Only the skin's own pages may call or hash: the request's Origin is the skin's content server
// or the development server exactly, scheme, host and port. A request without one, with "null"
// (a sandboxed or opaque frame), or from any other page (one the view was led or sent to, a frame
// of another site) is refused.
bool FromSkin(WebKitURISchemeRequest* request) {
    SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request);
    const char* origin = headers ? soup_message_headers_get_one(headers, "Origin") : nullptr;
    return SkinApp_IsSkinOrigin(origin) == 1;
}

// A POST whose path names the algorithm and whose body is the UTF-8 text; the answer is the digest
// text, readable from any origin (the skin's pages come from the loopback server).
void OnHashRequest(WebKitURISchemeRequest* request, gpointer) {
    char algorithm[16];
    const char* method = webkit_uri_scheme_request_get_http_method(request);
    if (!FromSkin(request)) return FinishWithError(request, "Hash request refused");
    if (!method || strcmp(method, "POST") != 0 ||
        WebKitPage_HashAlgorithm(webkit_uri_scheme_request_get_path(request), algorithm, sizeof(algorithm)) !=
            1)
        return FinishWithError(request, "Unsupported hash request");
    GByteArray* text = g_byte_array_new();
    if (!ReadBody(request, text)) {
        g_byte_array_unref(text);
        return FinishWithError(request, "Hash input too large");
    }
    if (!g_hashInvoker) ScriptInvoker_Create(&g_hashInvoker);
    char digest[kDigestSize] = "";
    const int64_t hashed =
        ScriptInvoker_Hash(g_hashInvoker, algorithm, text->len ? (const char*)text->data : "",
                           (int32_t)text->len, digest, kDigestSize);
    g_byte_array_unref(text);
    if (hashed != 1) return FinishWithError(request, "Unsupported hash algorithm");
    FinishWithText(request, digest, strlen(digest));
}

// ---- Calls of the page object --------------------------------------------------------------------

WebKitWebBrowser* BrowserOfView(WebKitWebView* view) {
    if (!view) return nullptr;
    GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(view));
    for (WebKitWebBrowser* b : g_browsers) {
        if (b->View == GTK_WIDGET(view)) return b;
        for (GtkWidget* popup : *b->Popups)
            if (popup == top) return b;
    }
    return nullptr;
}

// The answer to one call of the page object: the instance id of a create, "true" or "false" for a
// question or a release, the reply of an invoke. False when the call failed. The text is the
// request's body with a zero byte after it (length counts the body only).
bool Answer(ScriptInvoker* invoker, int32_t call, char* id, const char* text, size_t length,
            std::string* answer) {
    switch (call) {
    case WEBKITPAGE_CALL_CREATE:
        // A type name that fits, without a zero byte in it.
        if (length == 0 || length >= (size_t)kTypeNameSize || strlen(text) != length ||
            ScriptInvoker_CreateInstance(invoker, nullptr, text, id, kInstanceIdSize) != 1 || !id[0])
            return false;
        *answer = id;
        return true;
    case WEBKITPAGE_CALL_HAS:
        *answer = ScriptInvoker_HasInstance(invoker, id) == 1 ? "true" : "false";
        return true;
    case WEBKITPAGE_CALL_RELEASE:
        *answer = ScriptInvoker_ReleaseInstance(invoker, id) == 1 ? "true" : "false";
        return true;
    default:
        break;
    }
    MemoryStream* reply = nullptr;
    MemoryStream_Create(&reply);
    MemoryStream_SetAutoGrow(reply, 1);
    bool ok =
        ScriptInvoker_HasInstance(invoker, id) == 1 && ScriptInvoker_Invoke(invoker, id, text, reply) == 1;
    uint8_t* data = nullptr;
    if (ok && MemoryStream_GetPointer(reply, &data) == 1) {
        answer->assign(reinterpret_cast<const char*>(data), (size_t)MemoryStream_GetUsed(reply));
        MemoryStream_ReleasePointer(reply, &data);
    }
    MemoryStream_Release(&reply);
    return ok;
}

// A refused or failed call is an error, which the page object turns into undefined (or false).
void OnInteropRequest(WebKitURISchemeRequest* request, gpointer) {
    WebKitWebBrowser* b = BrowserOfView(webkit_uri_scheme_request_get_web_view(request));
    const char* method = webkit_uri_scheme_request_get_http_method(request);
    if (!b || !b->Invoker || !method || strcmp(method, "POST") != 0 || !FromSkin(request))
        return FinishWithError(request, "Interop request refused");
    char id[kInstanceIdSize];
    const int32_t call =
        WebKitPage_InteropCall(webkit_uri_scheme_request_get_uri(request), id, kInstanceIdSize);
    if (call == WEBKITPAGE_CALL_NONE) return FinishWithError(request, "Unsupported interop request");
    GByteArray* body = g_byte_array_new();
    const bool read = ReadBody(request, body);
    const size_t length = body->len;
    const guint8 zero = 0;
    g_byte_array_append(body, &zero, 1);
    // The call may close the window and so this browser: the invoker is held until it returns.
    ScriptInvoker* invoker = b->Invoker;
    ScriptInvoker_AddRef(invoker);
    std::string answer;
    const bool ok =
        read && Answer(invoker, call, id, reinterpret_cast<const char*>(body->data), length, &answer);
    ScriptInvoker_Release(&invoker);
    g_byte_array_unref(body);
    if (!ok) return FinishWithError(request, "Interop call failed");
    FinishWithText(request, answer.data(), answer.size());
}

// ---- The view's questions ----------------------------------------------------------------------------

gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer user) {
    // The default menu only with developer tools; otherwise none at all.
    return static_cast<WebKitWebBrowser*>(user)->DeveloperTools ? FALSE : TRUE;
}

// Alerts show the message in our own box; other dialogs get the answer of a page without one
// (confirm: no, prompt: nothing, leaving the page: yes), never a question to the user.
gboolean OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer user) {
    auto* b = static_cast<WebKitWebBrowser*>(user);
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_ALERT: {
        const char* message = webkit_script_dialog_get_message(dialog);
        const NativeSkinWindowInterface* native = NativeSkinWindow_GetInterface();
        if (native && b->Window && b->Window->Native)
            native->MessageBox(b->Window->Native, message ? message : "", "Host", 0);
        break;
    }
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, FALSE);
        break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
        break;
    default:
        break;
    }
    return TRUE;
}

// Credentials only from answers the challenge service holds already; no prompt from here. The
// engine keeps them for the session only: the challenge service stays their one store.
gboolean OnAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer) {
    const bool proxy = webkit_authentication_request_is_for_proxy(request) == TRUE;
    char server[kTextSize];
    WebKitPage_ServerText(webkit_authentication_request_get_host(request),
                          webkit_authentication_request_get_port(request), server, kTextSize);
    Dictionary* question = nullptr;
    Dictionary* answer = nullptr;
    Dictionary_Create(&question);
    Dictionary_Create(&answer);
    Dictionary_SetStringByKey(question, "filter", proxy ? "webgetproxy" : "webgetserver");
    Dictionary_SetInt64ByKey(question, "type", proxy ? 1 : 0);
    Dictionary_SetStringByKey(question, "host", server);
    const char* realm = webkit_authentication_request_get_realm(request);
    Dictionary_SetStringByKey(question, "realm", realm ? realm : "");
    char username[kTextSize] = "", password[kTextSize] = "";
    const bool found = server[0] && Challenge_IsStarted() == 1 &&
                       Challenge_ResponseFind(question, answer) == 1 &&
                       Dictionary_GetStringByKey(answer, "username", username, kTextSize) == 1 &&
                       Dictionary_GetStringByKey(answer, "password", password, kTextSize) == 1;
    WebKitCredential* credential =
        found ? webkit_credential_new(username, password, WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION)
              : nullptr;
    webkit_authentication_request_authenticate(request, credential);
    if (credential) webkit_credential_free(credential);
    memset(password, 0, sizeof(password));
    Dictionary_Release(&answer);
    Dictionary_Release(&question);
    return TRUE;
}

void OnResourceFailed(WebKitWebResource*, GError* error, gpointer uri) {
    Log_Debug("WebBrowser - Navigation Error - %s (Code %d)\n", static_cast<const char*>(uri),
              error ? error->code : 0);
}

void OnResourceStarted(WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest* request, gpointer) {
    if (!GlobalWebBrowserVerbose) return;
    const char* uri = webkit_uri_request_get_uri(request);
    g_signal_connect_data(
        resource, "failed", G_CALLBACK(OnResourceFailed), g_strdup(uri ? uri : ""),
        [](gpointer data, GClosure*) { g_free(data); }, (GConnectFlags)0);
}

void ConnectQuestions(WebKitWebBrowser* b, GtkWidget* view);

void OnPopupGone(GtkWidget* window, gpointer user) {
    auto* b = static_cast<WebKitWebBrowser*>(user);
    if (!b->Popups) return;
    for (auto it = b->Popups->begin(); it != b->Popups->end(); ++it)
        if (*it == window) {
            b->Popups->erase(it);
            break;
        }
}

void OnPopupClose(WebKitWebView* view, gpointer) {
    if (GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(view)); top && GTK_IS_WINDOW(top))
        gtk_widget_destroy(top);
}

void OnPopupReady(WebKitWebView* view, gpointer) {
    GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(view));
    gtk_widget_show_all(top);
    gtk_window_present(GTK_WINDOW(top));
}

// A pop-up gets a window of its own, titled and closable (and resizable when the skin window's
// pop-up frame says so), of the skin window's size, centred; the view closes with its window.
GtkWidget* OnCreate(WebKitWebView* view, WebKitNavigationAction*, gpointer user) {
    auto* b = static_cast<WebKitWebBrowser*>(user);
    char frame[kTextSize] = "Normal";
    int32_t width = 0, height = 0;
    if (b->Window) {
        SkinWindow_GetPopupFrame(b->Window, frame, kTextSize);
        SkinWindow_GetWidth(b->Window, &width);
        SkinWindow_GetHeight(b->Window, &height);
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_resizable(GTK_WINDOW(window),
                             NativeWindow_TranslateFrameString(frame) == NATIVEWINDOW_FRAME_RESIZABLE);
    gtk_window_set_default_size(GTK_WINDOW(window), width > 0 ? width : 800, height > 0 ? height : 600);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    GtkWidget* popup = webkit_web_view_new_with_related_view(view);
    gtk_container_add(GTK_CONTAINER(window), popup);
    ConnectQuestions(b, popup);
    g_signal_connect(popup, "close", G_CALLBACK(OnPopupClose), nullptr);
    g_signal_connect(popup, "ready-to-show", G_CALLBACK(OnPopupReady), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(OnPopupGone), b);
    b->Popups->push_back(window);
    return popup;
}

void ConnectQuestions(WebKitWebBrowser* b, GtkWidget* view) {
    g_signal_connect(view, "create", G_CALLBACK(OnCreate), b);
    g_signal_connect(view, "context-menu", G_CALLBACK(OnContextMenu), b);
    g_signal_connect(view, "script-dialog", G_CALLBACK(OnScriptDialog), b);
    g_signal_connect(view, "authenticate", G_CALLBACK(OnAuthenticate), b);
    g_signal_connect(view, "resource-load-started", G_CALLBACK(OnResourceStarted), b);
}

// Sets a settings property when this WebKit still has it.
void SetSetting(WebKitSettings* settings, const char* property, uint32_t value) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(settings), property))
        g_object_set(settings, property, value ? TRUE : FALSE, nullptr);
}

// ---- Synthesised input ---------------------------------------------------------------------------------

GdkDevice* Pointer(GdkWindow* window) {
    return gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_window_get_display(window)));
}

GdkModifierType KeyState(uint32_t modifiers) {
    guint state = 0;
    if (modifiers & WEBBROWSER_MODIFIER_SHIFT) state |= GDK_SHIFT_MASK;
    if (modifiers & WEBBROWSER_MODIFIER_ALT) state |= GDK_MOD1_MASK;
    if (modifiers & WEBBROWSER_MODIFIER_CONTROL) state |= GDK_CONTROL_MASK;
    if (modifiers & WEBBROWSER_MODIFIER_COMMAND) state |= GDK_SUPER_MASK;
    if (modifiers & WEBBROWSER_MODIFIER_CAPS_LOCK) state |= GDK_LOCK_MASK;
    return (GdkModifierType)state;
}

// The modifiers pass unchanged; the character names the key, the virtual key is its hardware code.
int64_t SimulateKey(WebBrowser* browser, GdkEventType type, int32_t virtualKey, int32_t character,
                    uint32_t modifiers) {
    WebKitWebBrowser* b = Rec(browser);
    GdkWindow* window = b->View ? gtk_widget_get_window(b->View) : nullptr;
    if (!window) return 1;
    GdkEvent* event = gdk_event_new(type);
    event->key.window = GDK_WINDOW(g_object_ref(window));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.state = KeyState(modifiers);
    guint keyval = character > 0 ? gdk_unicode_to_keyval((guint32)character) : 0;
    event->key.hardware_keycode = (guint16)virtualKey;
    if (keyval == 0 || (keyval & 0x01000000)) {
        GdkKeymap* keymap = gdk_keymap_get_for_display(gdk_window_get_display(window));
        guint fromCode = 0;
        if (gdk_keymap_translate_keyboard_state(keymap, (guint)virtualKey, (GdkModifierType)event->key.state,
                                                0, &fromCode, nullptr, nullptr, nullptr))
            keyval = fromCode;
    }
    event->key.keyval = keyval;
    gchar text[8] = "";
    if (character > 0) g_unichar_to_utf8((gunichar)character, text);
    event->key.string = g_strdup(text);
    event->key.length = (gint)strlen(text);
    gdk_event_set_device(event,
                         gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_window_get_display(window))));
    gtk_widget_event(b->View, event);
    gdk_event_free(event);
    return 1;
}

GdkEvent* MouseEvent(WebKitWebBrowser* b, GdkEventType type, int32_t x, int32_t y) {
    GdkWindow* window = gtk_widget_get_window(b->View);
    GdkEvent* event = gdk_event_new(type);
    int ox = 0, oy = 0;
    gdk_window_get_origin(window, &ox, &oy);
    if (type == GDK_MOTION_NOTIFY) {
        event->motion.window = GDK_WINDOW(g_object_ref(window));
        event->motion.send_event = TRUE;
        event->motion.time = GDK_CURRENT_TIME;
        event->motion.x = x;
        event->motion.y = y;
        event->motion.x_root = ox + x;
        event->motion.y_root = oy + y;
    } else {
        event->button.window = GDK_WINDOW(g_object_ref(window));
        event->button.send_event = TRUE;
        event->button.time = GDK_CURRENT_TIME;
        event->button.x = x;
        event->button.y = y;
        event->button.x_root = ox + x;
        event->button.y_root = oy + y;
    }
    gdk_event_set_device(event, Pointer(window));
    return event;
}

// One button exactly; any other word sends nothing. The release names the same button.
int64_t SimulateButton(WebBrowser* browser, GdkEventType type, int32_t x, int32_t y, uint32_t modifiers) {
    WebKitWebBrowser* b = Rec(browser);
    const int32_t button = WebKitPage_Button(modifiers);
    if (button == 0) return 0;
    if (!b->View || !gtk_widget_get_window(b->View)) return 1;
    GdkEvent* event = MouseEvent(b, type, x, y);
    event->button.button = (guint)button;
    if (type == GDK_BUTTON_RELEASE)
        event->button.state = button == 1   ? GDK_BUTTON1_MASK
                              : button == 2 ? GDK_BUTTON2_MASK
                                            : GDK_BUTTON3_MASK;
    gtk_widget_event(b->View, event);
    gdk_event_free(event);
    return 1;
}

int64_t Editing(WebBrowser* browser, const char* command) {
    WebKitWebBrowser* b = Rec(browser);
    if (b->View) webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(b->View), command);
    return 1;
}

int64_t DeleteHandle(void** handle) {
    auto* b = static_cast<WebKitWebBrowser*>(*handle);
    AWKWebBrowser_Unembed(reinterpret_cast<WebBrowser*>(b));
    for (auto it = g_browsers.begin(); it != g_browsers.end(); ++it)
        if (*it == b) {
            g_browsers.erase(it);
            break;
        }
    delete b->Popups;
    Class_UntrackInstance(b);
    b->Header.ClassId = 0;
    Memory_Free(b, sizeof(WebKitWebBrowser));
    *handle = nullptr;
    return 1;
}

} // namespace

// ---- The table ------------------------------------------------------------------------------------------

// Positions are in view coordinates with y from the top, as this platform counts them.
int64_t AWKWebBrowser_SimulateMouseMove(WebBrowser* browser, int32_t x, int32_t y, uint32_t, int32_t) {
    WebKitWebBrowser* b = Rec(browser);
    if (!b->View || !gtk_widget_get_window(b->View)) return 1;
    GdkEvent* event = MouseEvent(b, GDK_MOTION_NOTIFY, x, y);
    gtk_widget_event(b->View, event);
    gdk_event_free(event);
    return 1;
}

int64_t AWKWebBrowser_Embed(WebBrowser* browser, SkinWindow* window, Dictionary* config) {
    WebKitWebBrowser* b = Rec(browser);
    ASSERT_POINTER(window);
    auto* content = static_cast<GtkWidget*>(SkinWindow_GetNativeHandle(window));
    if (!content || !GTK_IS_CONTAINER(content)) return 0;
    b->Window = window;
    if (!b->Invoker && ScriptInvoker_Create(&b->Invoker) == 1)
        ScriptInvoker_SetWindowInstanceId(b->Invoker, window->Header.InstanceId);
    uint32_t tools = 0;
    WorkflowApp_GetConfigBoolean(kAppConfigEnableDeveloperTools, 0, &tools);
    b->DeveloperTools = tools ? 1 : 0;

    WebKitUserContentManager* scripts = webkit_user_content_manager_new();
    WebKitUserScript* pageObject =
        webkit_user_script_new(WebKitPage_UserScript(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(scripts, pageObject);
    webkit_user_script_unref(pageObject);
    b->View = GTK_WIDGET(g_object_ref_sink(webkit_web_view_new_with_user_content_manager(scripts)));
    g_object_unref(scripts);

    WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(b->View));
    webkit_settings_set_enable_developer_extras(settings, b->DeveloperTools ? TRUE : FALSE);
    // Pages open their pop-ups from script, which the create handler places in windows of their own.
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
    uint32_t flag = 0;
    if (WebKitPage_ConfigFlag(config, kWindowConfigAwkEnablePlugins, kWindowConfigAwkPlugins, &flag) == 1)
        SetSetting(settings, "enable-plugins", flag);
    if (WebKitPage_ConfigFlag(config, kWindowConfigAwkEnableJava, kWindowConfigAwkJava, &flag) == 1)
        SetSetting(settings, "enable-java", flag);
    // No background of its own: the skin's transparent parts show the window through.
    const GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(WEBKIT_WEB_VIEW(b->View), &clear);
    ConnectQuestions(b, b->View);

    gtk_container_add(GTK_CONTAINER(content), b->View);
    gtk_widget_show(b->View);
    if (b->DeveloperTools) {
        WebKitWebInspector* inspector = webkit_web_view_get_inspector(WEBKIT_WEB_VIEW(b->View));
        webkit_web_inspector_show(inspector);
        webkit_web_inspector_detach(inspector);
    }
    return 1;
}

int64_t AWKWebBrowser_CheckEmbed(WebBrowser* browser) {
    return Rec(browser)->View ? 1 : 0;
}

int64_t AWKWebBrowser_Unembed(WebBrowser* browser) {
    WebKitWebBrowser* b = Rec(browser);
    if (b->Popups) {
        std::vector<GtkWidget*> popups;
        popups.swap(*b->Popups);
        for (GtkWidget* popup : popups) {
            g_signal_handlers_disconnect_by_data(popup, b);
            gtk_widget_destroy(popup);
        }
    }
    if (b->Invoker) ScriptInvoker_Release(&b->Invoker);
    if (!b->View) return 1;
    if (b->DeveloperTools)
        webkit_web_inspector_close(webkit_web_view_get_inspector(WEBKIT_WEB_VIEW(b->View)));
    g_signal_handlers_disconnect_by_data(b->View, b);
    if (GtkWidget* parent = gtk_widget_get_parent(b->View))
        gtk_container_remove(GTK_CONTAINER(parent), b->View);
    gtk_widget_destroy(b->View);
    g_object_unref(b->View);
    b->View = nullptr;
    return 1;
}

int64_t AWKWebBrowser_Navigate(WebBrowser* browser, const char* url) {
    WebKitWebBrowser* b = Rec(browser);
    ASSERT_POINTER(url);
    if (!b->View) return 0;
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(b->View), url);
    return 1;
}

// What this back end needs no engine for.
int64_t AWKWebBrowser_NotifyMoveOrResizeStarted(WebBrowser*) {
    return 1;
}
int64_t AWKWebBrowser_Hide(WebBrowser*) {
    return 1;
}
int64_t AWKWebBrowser_Show(WebBrowser*) {
    return 1;
}
int64_t AWKWebBrowser_SetSize(WebBrowser*, int32_t, int32_t) {
    return 1;
}
int64_t AWKWebBrowser_SetDPI(WebBrowser*, int32_t, int32_t) {
    return 1;
}
int64_t AWKWebBrowser_WasHidden(WebBrowser*, int32_t) {
    return 1;
}
int64_t AWKWebBrowser_Invalidate(WebBrowser*) {
    return 1;
}
int64_t AWKWebBrowser_SetMouseCursorChangeEnabled(WebBrowser*, int32_t) {
    return 1;
}
int64_t AWKWebBrowser_IsMouseCursorChangeEnabled(WebBrowser*, int32_t*) {
    return 1;
}
int64_t AWKWebBrowser_SetCursor(WebBrowser*, int32_t) {
    return 1;
}
int64_t AWKWebBrowser_SimulateFocus(WebBrowser*, int32_t) {
    return 1;
}
int64_t AWKWebBrowser_SimulateCaptureLost(WebBrowser*) {
    return 1;
}
int64_t AWKWebBrowser_SimulateCharacter(WebBrowser*, int32_t, int32_t, int32_t, uint32_t) {
    return 1;
}
int64_t AWKWebBrowser_SimulateMouseWheel(WebBrowser*, int32_t, int32_t, int32_t) {
    return 1;
}

int64_t AWKWebBrowser_SimulateKeyDown(WebBrowser* browser, int32_t key, int32_t character, int32_t,
                                      uint32_t modifiers) {
    return SimulateKey(browser, GDK_KEY_PRESS, key, character, modifiers);
}
int64_t AWKWebBrowser_SimulateKeyUp(WebBrowser* browser, int32_t key, int32_t character, int32_t,
                                    uint32_t modifiers) {
    return SimulateKey(browser, GDK_KEY_RELEASE, key, character, modifiers);
}
int64_t AWKWebBrowser_SimulateMouseDown(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers) {
    return SimulateButton(browser, GDK_BUTTON_PRESS, x, y, modifiers);
}
int64_t AWKWebBrowser_SimulateMouseUp(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers) {
    return SimulateButton(browser, GDK_BUTTON_RELEASE, x, y, modifiers);
}
int64_t AWKWebBrowser_SimulateUndo(WebBrowser* browser) {
    return Editing(browser, WEBKIT_EDITING_COMMAND_UNDO);
}
int64_t AWKWebBrowser_SimulateRedo(WebBrowser* browser) {
    return Editing(browser, WEBKIT_EDITING_COMMAND_REDO);
}
int64_t AWKWebBrowser_SimulateCut(WebBrowser* browser) {
    return Editing(browser, WEBKIT_EDITING_COMMAND_CUT);
}
int64_t AWKWebBrowser_SimulateCopy(WebBrowser* browser) {
    return Editing(browser, WEBKIT_EDITING_COMMAND_COPY);
}
int64_t AWKWebBrowser_SimulatePaste(WebBrowser* browser) {
    return Editing(browser, WEBKIT_EDITING_COMMAND_PASTE);
}
int64_t AWKWebBrowser_SimulateDelete(WebBrowser* browser) {
    return Editing(browser, "Delete");
}
int64_t AWKWebBrowser_SimulateSelectAll(WebBrowser* browser) {
    return Editing(browser, WEBKIT_EDITING_COMMAND_SELECT_ALL);
}

// The page's callback runs later in the page; no answer is awaited, so a reply stream stays as given.
int64_t AWKWebBrowser_ExecuteScript(WebBrowser* browser, const char* first, const char* second, Stream*) {
    WebKitWebBrowser* b = Rec(browser);
    if (!b->View) return 1;
    const std::string script = WebKitPage_CallbackScript(first, second);
    webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(b->View), script.c_str(), (gssize)script.size(),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
    return 1;
}

int64_t AWKWebBrowser_SetViewChangeCallback(WebBrowser* browser, void* user,
                                            WebBrowserViewChangeFunc function) {
    WebKitWebBrowser* b = Rec(browser);
    b->ViewChange = function;
    b->ViewChangeUser = user;
    return 1;
}

int64_t AWKWebBrowser_Create(WebBrowser** browser) {
    ASSERT_POINTER(browser);
    *browser = nullptr;
    auto* b = static_cast<WebKitWebBrowser*>(Memory_AllocZero(sizeof(WebKitWebBrowser)));
    b->Header.ClassId = WEBKITWEBBROWSER_CLASS_ID;
    b->Header.RefCount = 1;
    b->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(b);
    Class_TrackInstance(b, b->Header.InstanceId, nullptr);
    b->Popups = new std::vector<GtkWidget*>();
    g_browsers.push_back(b);
    *browser = reinterpret_cast<WebBrowser*>(b);
    return 1;
}

int64_t AWKWebBrowser_AddRef(WebBrowser* browser) {
    Class_AddRef(Rec(browser));
    return 1;
}

int64_t AWKWebBrowser_GetInstanceId(WebBrowser* browser, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    WebKitWebBrowser* b = Rec(browser);
    String_CopyLengthSafe(buffer, capacity, b->Header.InstanceId, (int32_t)sizeof(b->Header.InstanceId));
    return 1;
}

int64_t AWKWebBrowser_Release(WebBrowser** browser) {
    ASSERT_POINTER(browser);
    Rec(*browser);
    Class_Release(browser);
    *browser = nullptr;
    return 1;
}

int64_t AWKWebBrowser_RunMessagePump() {
    gtk_main();
    return 1;
}

int64_t AWKWebBrowser_QuitMessagePump() {
    if (gtk_main_level() > 0) gtk_main_quit();
    return 1;
}

// The engine's version becomes the macros "host", "hostVersion" and "hostMajorVersion"; page
// objects get their digests and make their calls through schemes of the default web context.
int64_t AWKWebBrowser_Init(const char*) {
    if (!gtk_init_check(nullptr, nullptr)) {
        Log_Error("WebBrowser - No display\n");
        return 0;
    }
    char version[64];
    String_Print(version, sizeof(version), "%u.%u.%u", webkit_get_major_version(), webkit_get_minor_version(),
                 webkit_get_micro_version());
    Log_Info("AWK %s\n", version);
    Dictionary* macros = nullptr;
    if (WorkflowApp_GetMacroDictionaryHandle(&macros) == 1) {
        char major[16];
        String_Print(major, sizeof(major), "%u", webkit_get_major_version());
        WorkflowApp_AddMacro("host", "AWK");
        WorkflowApp_AddMacro("hostVersion", version);
        WorkflowApp_AddMacro("hostMajorVersion", major);
    }
    // The view's own page object answers every call: nothing under it uses the skin web server's
    // "instances/" routes, which would only be one more way in for other pages.
    SkinApp_SetInstanceRoutes(0);
    if (!g_schemeRegistered) {
        WebKitWebContext* context = webkit_web_context_get_default();
        webkit_web_context_register_uri_scheme(context, WEBKITPAGE_HASH_SCHEME, OnHashRequest, nullptr,
                                               nullptr);
        webkit_web_context_register_uri_scheme(context, WEBKITPAGE_INTEROP_SCHEME, OnInteropRequest, nullptr,
                                               nullptr);
        WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
        webkit_security_manager_register_uri_scheme_as_cors_enabled(security, WEBKITPAGE_HASH_SCHEME);
        webkit_security_manager_register_uri_scheme_as_cors_enabled(security, WEBKITPAGE_INTEROP_SCHEME);
        g_schemeRegistered = true;
    }
    return 1;
}

int64_t AWKWebBrowser_Remove() {
    SkinApp_SetInstanceRoutes(1);
    if (g_hashInvoker) ScriptInvoker_Release(&g_hashInvoker);
    return 1;
}

const WebBrowserInterface AWKWebBrowserInterface = {
    AWKWebBrowser_Embed,
    AWKWebBrowser_CheckEmbed,
    AWKWebBrowser_Unembed,
    AWKWebBrowser_Navigate,
    AWKWebBrowser_NotifyMoveOrResizeStarted,
    AWKWebBrowser_Hide,
    AWKWebBrowser_Show,
    AWKWebBrowser_SetSize,
    AWKWebBrowser_SetDPI,
    AWKWebBrowser_WasHidden,
    AWKWebBrowser_Invalidate,
    AWKWebBrowser_SetMouseCursorChangeEnabled,
    AWKWebBrowser_IsMouseCursorChangeEnabled,
    AWKWebBrowser_SetCursor,
    AWKWebBrowser_SimulateFocus,
    AWKWebBrowser_SimulateCaptureLost,
    AWKWebBrowser_SimulateKeyDown,
    AWKWebBrowser_SimulateKeyUp,
    AWKWebBrowser_SimulateCharacter,
    AWKWebBrowser_SimulateMouseMove,
    AWKWebBrowser_SimulateMouseDown,
    AWKWebBrowser_SimulateMouseUp,
    AWKWebBrowser_SimulateMouseWheel,
    AWKWebBrowser_SimulateUndo,
    AWKWebBrowser_SimulateRedo,
    AWKWebBrowser_SimulateCut,
    AWKWebBrowser_SimulateCopy,
    AWKWebBrowser_SimulatePaste,
    AWKWebBrowser_SimulateDelete,
    AWKWebBrowser_SimulateSelectAll,
    AWKWebBrowser_ExecuteScript,
    AWKWebBrowser_SetViewChangeCallback,
    AWKWebBrowser_Create,
    AWKWebBrowser_Release,
    AWKWebBrowser_RunMessagePump,
    AWKWebBrowser_QuitMessagePump,
    AWKWebBrowser_Init,
    AWKWebBrowser_Remove,
};

const WebBrowserInterface* WebKitWebBrowser_GetInterface() {
    return &AWKWebBrowserInterface;
}

void* WebKitWebBrowser_GetView(WebBrowser* browser) {
    return Rec(browser)->View;
}

int32_t WebKitWebBrowser_GetPopupCount(WebBrowser* browser) {
    WebKitWebBrowser* b = Rec(browser);
    return b->Popups ? (int32_t)b->Popups->size() : 0;
}
