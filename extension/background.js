// Background (service worker in Chromium, background script in Firefox):
// one native component process per page. Each page's content script opens a
// port; the first call on it starts the component with connectNative, and
// closing the page (or navigating away) closes the port and so ends the
// component process with its key list.
'use strict';

const HOST_NAME = 'norvale.quenta.sign';
const CHANNEL = 'quenta-sign';
const ALLOWED_ORIGINS = ["@QUENTA_ALLOWED_ORIGINS@"];
const api = globalThis.browser || globalThis.chrome;

function senderOrigin(sender) {
  if (typeof sender.origin === 'string' && sender.origin !== 'null') return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch (e) {
    return null;
  }
}

// Only the extension's own content script, in a tab, on an allowed origin.
function allowed(sender) {
  return !!sender && sender.id === api.runtime.id && !!sender.tab &&
         ALLOWED_ORIGINS.includes(senderOrigin(sender));
}

function validCall(m) {
  return !!m && Number.isSafeInteger(m.id) && typeof m.method === 'string' && Array.isArray(m.args);
}

api.runtime.onConnect.addListener((page) => {
  if (page.name !== CHANNEL) return;
  if (!allowed(page.sender)) {
    page.disconnect();
    return;
  }
  let host = null;
  let pageOpen = true;

  function toPage(message) {
    if (!pageOpen) return;
    try {
      page.postMessage(message);
    } catch (e) {
      pageOpen = false;
    }
  }

  function startHost() {
    const h = api.runtime.connectNative(HOST_NAME);
    h.onMessage.addListener((message) => toPage(message));
    h.onDisconnect.addListener((p) => {
      const error = (p && p.error) || api.runtime.lastError;
      if (host === h) host = null;
      toPage({ disconnected: 'the signing component stopped' +
                             (error && error.message ? ': ' + error.message : '') });
    });
    return h;
  }

  page.onMessage.addListener((m) => {
    if (!validCall(m)) return;
    // A component that stopped is started again: the page gets a fresh one
    // (with an empty key list) rather than a dead object.
    if (!host) host = startHost();
    host.postMessage({ id: m.id, method: m.method, args: m.args });
  });

  page.onDisconnect.addListener(() => {
    pageOpen = false;
    if (host) {
      const h = host;
      host = null;
      h.disconnect();
    }
  });
});
