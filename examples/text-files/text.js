// Writes a text file into the skin's local storage with QVR.TextFileWriter, then reads it back
// with QVR.TextFileReader, which hands the text over in "Read" notifications and ends with
// "Complete". With --autorun the window closes itself and the exit code tells the outcome.
(function () {
  "use strict";
  var app = Bridge.create("QVR.WorkflowApp");
  var skinApp = Bridge.create("QVR.SkinApp");
  var autorun = Bridge.call(app, "isCommandFieldSet", { commandField: "autorun" }) === true;
  var path = Bridge.call(app, "expandString", { expand: "{LocalStorage}example.txt" });
  var content = "Hello from the text files example\nsecond line\n";
  document.getElementById("path").textContent = path;

  function finish(ok, text) {
    document.getElementById("outcome").textContent = ok ? "Read back what was written." : text;
    // The log line lets a script (or the test) see the outcome.
    Bridge.call(app, "debugPrint", { message: "Text files outcome - " + (ok ? "success" : "failure: " + text) + "\n" });
    if (autorun) {
      Bridge.call(app, "setExitCode", { exitCode: ok ? 0 : 1 });
      Bridge.call(skinApp, "closeAllWindows");
      Bridge.releaseAll();
    }
  }

  // The window shows once the page says it is ready.
  var skinWindow = Bridge.create("QVR.SkinWindow");
  Bridge.call(skinWindow, "setCanClose", { canClose: true });
  Bridge.call(skinWindow, "loaded");
  Bridge.call(skinWindow, "show");

  // 1. Write: open (creates or empties the file), write, close.
  var writer = Bridge.create("QVR.TextFileWriter");
  if (Bridge.call(writer, "open", { path: path }) !== true) return finish(false, "cannot open " + path);
  Bridge.call(writer, "write", { value: content });
  Bridge.call(writer, "close");
  Bridge.release(writer);

  // 2. Read back: the text arrives in pieces of at most the buffer size.
  var reader = Bridge.create("QVR.TextFileReader");
  var text = "";
  Bridge.observe("TextFileReader", "Read", function (info) { text += info.text; });
  Bridge.observe("TextFileReader", "Complete", function (info) {
    document.getElementById("text").textContent = text;
    if (info.successful !== true) return finish(false, "cannot read " + path);
    finish(text === content, "read back " + JSON.stringify(text));
  });
  Bridge.call(reader, "setFileName", { fileName: path });
  Bridge.call(reader, "start");
})();
