// Fetches one file into the skin's local storage with QVR.HttpRequest. The address is the
// command line's --fetch=URL, or else this page itself from the skin's own content URL. The
// request ends with an "HttpRequest" / "Complete" notification carrying httpCode and errorCode.
// With --autorun the window closes itself and the exit code tells the outcome.
(function () {
  "use strict";
  var app = Bridge.create("QVR.WorkflowApp");
  var skinApp = Bridge.create("QVR.SkinApp");
  var autorun = Bridge.call(app, "isCommandFieldSet", { commandField: "autorun" }) === true;
  var url = Bridge.call(app, "getCommandFieldByName", { commandField: "fetch" }) ||
            Bridge.call(app, "expandString", { expand: "{contentUrl}index.html" });
  // The file keeps the URL's last name; while it downloads it is NAME.partial.
  var file = Bridge.call(app, "expandString", { expand: "{LocalStorage}" }) +
             (url.substring(url.lastIndexOf("/") + 1) || "download");
  document.getElementById("url").textContent = url;
  document.getElementById("file").textContent = file;

  function finish(ok, text) {
    document.getElementById("outcome").textContent = text;
    // The log line lets a script (or the test) see the outcome.
    Bridge.call(app, "debugPrint", { message: "Page HTTP outcome - " + (ok ? "success" : "failure") + ": " + text + "\n" });
    if (autorun) {
      Bridge.call(app, "setExitCode", { exitCode: ok ? 0 : 1 });
      Bridge.call(skinApp, "closeAllWindows");
      Bridge.releaseAll();
    }
  }

  var skinWindow = Bridge.create("QVR.SkinWindow");
  Bridge.call(skinWindow, "setCanClose", { canClose: true });
  Bridge.call(skinWindow, "loaded");
  Bridge.call(skinWindow, "show");

  var request = Bridge.create("QVR.HttpRequest");
  Bridge.observe("HttpRequest", "Complete", function (info) {
    // A transfer error (errorCode) or an HTTP code other than 200 is a failure.
    var ok = info.errorCode === 0 && info.httpCode === 200;
    finish(ok, "HTTP " + info.httpCode + (info.errorCode ? ", error " + info.errorCode : "") + ", saved as " + file);
  });
  Bridge.call(request, "setUrl", { url: url });
  Bridge.call(request, "setFileName", { fileName: file });
  Bridge.call(request, "start");
})();
