// Connects a page to its native window over the web channel.
//
// The window answers with script texts such as "loginVue.reloadData('...');"
// or "refreshThransferData(\"..\",\"..\",\"..\",\"..\")"; they name page
// globals, so they run as indirect eval in the global scope. An empty text is
// a valid answer and does nothing.
(function (global) {
  'use strict';

  let ready = false;

  // Console messages reach the program's log, and a script may carry a
  // password: a failure is logged by its kind and message, never its text. A
  // syntax error's message can quote the script, so it keeps only its kind.
  function failureOf(e) {
    if (!e || typeof e !== 'object') return 'thrown value';
    const kind = String(e.name || 'Error');
    return kind === 'SyntaxError' ? kind : `${kind}: ${e.message}`;
  }

  function runNativeScript(js) {
    try {
      (0, eval)(js);
    } catch (e) {
      console.error(`native script failed: ${failureOf(e)}`);
    }
  }

  // Scripts the window gathered into one message, run one by one.
  function runBatch(scripts) {
    scripts.forEach(runNativeScript);
  }

  // onReady(send) runs once the channel is open. send(op, param) resolves
  // after the native handler has returned, which is after any script it
  // emitted has run on this page.
  function connect(objectName, onReady) {
    if (typeof qt === 'undefined' || !qt.webChannelTransport) {
      console.warn('no web channel: the page is not hosted by the program');
      return;
    }
    new QWebChannel(qt.webChannelTransport, (channel) => {
      const obj = channel.objects[objectName];
      obj.SigSendMessageToJS.connect(runNativeScript);
      const send = (op, param) => new Promise((resolve) => {
        obj.JSSendMessage(op, param == null ? '' : String(param), () => resolve());
      });
      ready = true;
      onReady(send);
    });
  }

  global.KBridge = {
    connect,
    runBatch,
    get ready() { return ready; },
  };
})(window);
