// The smallest use of the native bridge: create an object of a QVR class, call its methods, and
// receive its notifications through window.DispatchInteropCallback.
var Bridge = (function () {
  "use strict";
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

  var instances = [];
  function create(className) {
    var id = window.NativeInterop.createInstance(className, "");
    if (id) instances.push(id);
    return id;
  }
  function release(instance) {
    instances = instances.filter(function (id) { return id !== instance; });
    window.NativeInterop.releaseInstance(instance);
  }

  // Calls a method with named arguments and answers its return value.
  function call(instance, method, args) {
    var binding = { method: method, methodHash: crc32(method) };
    for (var key in args || {}) binding[key] = args[key];
    var reply = window.NativeInterop.invoke(instance, JSON.stringify(binding));
    try { reply = typeof reply === "string" ? JSON.parse(reply) : reply; } catch (e) { return undefined; }
    return reply ? reply.returnValue : undefined;
  }

  // Native objects answer through this page function: one message or a batch of them.
  window.DispatchInteropCallback = function (messages) {
    if (typeof messages === "string") messages = JSON.parse(messages);
    if (!Array.isArray(messages)) messages = [messages];
    messages.forEach(function (message) {
      var fn = message && callbacks[message.callbackId];
      if (fn) fn(message.info || message.arguments || message);
    });
  };

  var center = null;
  var observers = [];
  // Runs fn with the information of every notification of that type and name.
  function observe(type, name, fn) {
    if (!center) center = create("QVR.NotificationCenter");
    var id = "cb-" + (nextCallback++);
    callbacks[id] = fn;
    observers.push({ type: type, notification: name, callbackId: id });
    call(center, "addObserver", observers[observers.length - 1]);
  }

  // Lets go of every observer and native object: a closed window ends the host only once its
  // page holds none.
  function releaseAll() {
    observers.forEach(function (o) { call(center, "removeObserver", o); });
    observers = [];
    instances.slice().reverse().forEach(release);
  }

  return { create: create, release: release, call: call, observe: observe, releaseAll: releaseAll };
})();
