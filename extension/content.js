// The extension's side of the page channel: takes calls the page's
// QuentaSign object posts, passes them to the background over one port per
// page (one port, one component process, one key list), and posts replies
// and page events back.
(() => {
  'use strict';
  const ALLOWED_ORIGINS = ["@QUENTA_ALLOWED_ORIGINS@"];
  const origin = window.location.origin;
  if (!ALLOWED_ORIGINS.includes(origin)) return;

  const api = globalThis.browser || globalThis.chrome;
  const CHANNEL = 'quenta-sign';
  // Ids of the calls sent and not yet answered, oldest first. The component
  // answers in order, so a reply it could not give an id to belongs to the
  // oldest one.
  let inFlight = [];
  let port = null;

  function toPage(message) {
    window.postMessage(Object.assign({ channel: CHANNEL, dir: 'to-page' }, message), origin);
  }

  function reply(body) {
    inFlight = inFlight.filter((id) => id !== body.id);
    toPage({ type: 'reply', reply: body });
  }

  function failAll(reason) {
    const ids = inFlight;
    inFlight = [];
    for (const id of ids) toPage({ type: 'reply', reply: { id, error: reason } });
  }

  function fromBackground(message) {
    if (!message || typeof message !== 'object') return;
    if (typeof message.event === 'string') {
      toPage({ type: 'event', event: message.event, args: message.args });
    } else if (typeof message.disconnected === 'string') {
      failAll(message.disconnected);
    } else if (Number.isSafeInteger(message.id)) {
      reply(message);
    } else if (message.id === null && inFlight.length) {
      reply(Object.assign({}, message, { id: inFlight[0] }));
    }
  }

  function connect() {
    port = api.runtime.connect({ name: CHANNEL });
    port.onMessage.addListener(fromBackground);
    port.onDisconnect.addListener(() => {
      port = null;
      failAll('the signing extension closed the connection');
    });
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window || event.origin !== origin) return;
    const m = event.data;
    if (!m || m.channel !== CHANNEL || m.dir !== 'to-ext' || m.type !== 'call') return;
    if (!Number.isSafeInteger(m.id) || typeof m.method !== 'string' || !Array.isArray(m.args)) return;
    inFlight.push(m.id);
    try {
      if (!port) connect();
      port.postMessage({ id: m.id, method: m.method, args: m.args });
    } catch (e) {
      port = null;
      reply({ id: m.id, error: 'the signing extension is not available: ' + e.message });
    }
  });
})();
