// The example page: facts read through native objects, and a button that adds the bundled
// workflow and follows its progress and status until its outcome.
(function () {
  "use strict";
  // The view's own bridge object, or the skin web server's "instances/" routes when the page has none.
  var bridge = window.NativeInterop || httpBridge();
  var callbacks = {};
  var nextCallback = 1;

  // The bridge finds a method by the CRC-32 of its name.
  function crc32(text) {
    var crc = -1;
    var bytes = unescape(encodeURIComponent(text));
    for (var i = 0; i < bytes.length; i++) {
      crc ^= bytes.charCodeAt(i);
      for (var bit = 0; bit < 8; bit++) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
    }
    return (crc ^ -1) | 0;
  }

  function httpBridge() {
    if (location.protocol !== "http:") return null;
    function send(method, path, body) {
      var request = new XMLHttpRequest();
      request.open(method, "instances/" + path, false);
      // The routes take JSON only: a type no page of another origin may send unasked.
      if (body !== null) request.setRequestHeader("Content-Type", "application/json");
      request.send(body);
      return request;
    }
    return {
      createInstance: function (typeName, instanceId) {
        var body = JSON.stringify({ typename: typeName, window: window.instanceId || "", instanceId: instanceId });
        var reply = send("POST", "", body);
        return reply.status === 201 ? reply.responseText : "";
      },
      invoke: function (instanceId, binding) {
        var reply = send("POST", instanceId, binding);
        return reply.status === 200 ? reply.responseText : "";
      },
      releaseInstance: function (instanceId) {
        return send("DELETE", instanceId, null).status === 200;
      }
    };
  }

  function create(className) {
    return bridge.createInstance(className, "");
  }

  function call(instance, method, args) {
    var binding = { method: method, methodHash: crc32(method) };
    for (var key in args || {}) binding[key] = args[key];
    var reply = bridge.invoke(instance, JSON.stringify(binding));
    try { reply = typeof reply === "string" ? JSON.parse(reply) : reply; } catch (e) { return undefined; }
    return reply ? reply.returnValue : undefined;
  }

  function callback(fn) {
    var id = "demo-" + (nextCallback++);
    callbacks[id] = fn;
    return id;
  }

  // Native objects answer through this page function: one message or a batch of them.
  window.DispatchInteropCallback = function (messages) {
    if (typeof messages === "string") messages = JSON.parse(messages);
    if (!Array.isArray(messages)) messages = [messages];
    messages.forEach(function (message) {
      var fn = message && callbacks[message.callbackId];
      if (fn) fn(message);
    });
  };

  function show(id, text) { document.getElementById(id).textContent = text; }
  function log(text) {
    var box = document.getElementById("log");
    box.textContent += text + "\n";
    box.scrollTop = box.scrollHeight;
  }

  if (!bridge) {
    show("status", "No native bridge in this view.");
    return;
  }

  var skinApp = create("QVR.SkinApp");
  var app = create("QVR.WorkflowApp");
  var manager = create("QVR.WorkflowManager");
  var center = create("QVR.NotificationCenter");

  var localise = function (key) { return call(skinApp, "localizeString", { expand: key }) || key; };
  var expand = function (text) { return call(app, "expandString", { expand: text }) || ""; };
  var contentUrl = expand("{contentUrl}");
  var title = localise("Demo_Title");
  document.title = title;
  show("title", title);
  show("run", localise("Demo_Run"));
  show("status", localise("Demo_Idle"));
  show("contentUrl", contentUrl);
  show("locale", (call(skinApp, "getLanguage") || "?") + " / " + (call(skinApp, "getCountry") || "?"));
  show("platform", expand("{SystemName} {SystemVersion}"));

  // The page's own window: its title, word that the page is ready, then the window on screen.
  // It may close without asking the page first.
  var skinWindow = create("QVR.SkinWindow");
  if (skinWindow) {
    call(skinWindow, "setTitle", { title: title });
    call(skinWindow, "setCanClose", { canClose: true });
    call(skinWindow, "loaded");
    call(skinWindow, "show");
  }

  var autorun = call(app, "isCommandFieldSet", { commandField: "autorun" }) === true;
  var finished = false;

  function finish(ok, text) {
    if (finished) return;
    finished = true;
    show("outcome", text);
    show("status", localise(ok ? "Demo_Done" : "Demo_Failed"));
    // Told to the log once the page shows it, so that a picture taken now shows the outcome.
    call(app, "debugPrint", { message: "Demo page outcome - " + (ok ? "success" : "failure") + "\n" });
    if (autorun) {
      call(app, "setExitCode", { exitCode: ok ? 0 : 1 });
      // Long enough for the caller to take the window's picture first.
      // The windows close once the page has let go of its native objects.
      setTimeout(function () {
        call(skinApp, "closeAllWindows");
        [center, manager, app, skinWindow, skinApp].forEach(function (id) {
          if (id) bridge.releaseInstance(id);
        });
      }, 3000);
    }
  }

  function observe(type, name, fn) {
    call(center, "addObserver", { type: type, notification: name, callbackId: callback(fn) });
  }

  // The content repository's synchronisation publishes its own status: its progress and the
  // pieces it fetched (none when the content was up to date already).
  var contentDone = false;
  function showContent(info) {
    if (typeof info.progress !== "number" || info.progress < 0) return;
    document.getElementById("contentProgress").value = info.progress;
    var pieces = info.piecesTotal ? (info.piecesWritten || 0) + " of " + info.piecesTotal + " pieces fetched"
                                  : info.progress >= 1 ? "up to date, nothing fetched" : "checking";
    show("content", Math.floor(info.progress * 100) + " %, " + pieces);
    if (info.progress >= 1 && !contentDone) {
      contentDone = true;
      call(app, "debugPrint", { message: "Demo page content - synchronised, " + pieces + "\n" });
    }
  }

  var digest = "";
  var report = "";
  observe("Task", "Status", function (message) {
    var info = message.info || message.arguments || message;
    if (typeof info.message === "string") {
      log(info.message);
      if (!finished) show("status", info.message);
      if (info.message.indexOf("No content repository given") === 0) show("content", info.message);
      var at = info.message.indexOf("Demo outcome - ");
      if (at === 0) report = info.message.substring(15).trim();
      if (info.message.indexOf("Demo SHA-256 - ") === 0) digest = info.message.substring(15).trim();
    }
    if (typeof info.actualDigest === "string") digest = info.actualDigest;
    if (info.name === "demo-content") {
      showContent(info);
      return;
    }
    var progress = info.overallProgress !== undefined ? info.overallProgress : info.progress;
    if (typeof progress === "number" && progress >= 0) document.getElementById("progress").value = progress;
    // The workflow's last step reports the file and its digest: that is its outcome.
    if (report && digest.length === 64) {
      document.getElementById("progress").value = 1;
      finish(true, report + "\nSHA-256 " + digest);
    }
  });

  // The workflow's entry task ends in failure: the page says so, with the errors it reported.
  observe("WorkflowEvent", "Complete", function (message) {
    var info = message.info || message.arguments || message;
    if (info.name !== "start" || info.successful !== false) return;
    finish(false, localise("Demo_Failed") + ": " + (info.errors || []).join(", "));
  });

  // Links of the demo scheme: the first arrives on the command line, later ones from the running
  // instance's hand-over.
  var opened = call(app, "getCommandFieldByName", { commandField: "open" });
  if (opened) log("Opened " + opened);
  observe("SkinApp", "NewCommandLine", function (message) {
    var info = message.info || message.arguments || message;
    (info.args || []).forEach(function (field) { log("Handed over " + field); });
  });

  function run() {
    document.getElementById("run").disabled = true;
    var request = JSON.stringify({ url: contentUrl + "demo.yaml" });
    var added = call(manager, "add", { json: request, callbackId: callback(function () {}) });
    if (added !== true) finish(false, "The workflow could not be added.");
  }

  document.getElementById("run").addEventListener("click", run);
  if (autorun) run();
})();
