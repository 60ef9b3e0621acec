// Runs in the bank page's own world before any of its scripts and gives it
// window.QuentaSign: the signing component's 23 methods, each returning a
// promise of the method's result text (or undefined). A call the component
// refuses (wrong arguments, component missing) rejects the promise.
// Page events (componentWKPEvent) call the page's function of that name.
(() => {
  'use strict';
  const ALLOWED_ORIGINS = ["@QUENTA_ALLOWED_ORIGINS@"];
  const origin = window.location.origin;
  if (!ALLOWED_ORIGINS.includes(origin)) return;
  if (Object.prototype.hasOwnProperty.call(window, 'QuentaSign')) return;

  const CHANNEL = 'quenta-sign';
  const METHODS = [
    'TestComponent', 'GenerateKey', 'Sign', 'SetKey', 'InitializeCard', 'ShowKeyboard',
    'SetLanguage', 'ChangePIN', 'ChangePUK', 'RemoveKey', 'RegisterCert', 'Sign2',
    'AddCardModel', 'SetSignDialogType', 'UnblockCard', 'EncryptRand', 'DecryptRand',
    'ChangeKeyLocation', 'GetKeyLocation', 'RemoveKeysFromCard', 'RemoveKeysFromSmartCard',
    'SetKeyLocation', 'RemoveKeysFromUSBToken',
  ];

  // Kept before any page script runs, so later changes to these globals do
  // not reach the channel.
  const post = window.postMessage.bind(window);
  const listen = window.addEventListener.bind(window);
  const PromiseCtor = Promise;
  const ErrorCtor = Error;
  const waiting = new Map();
  let nextId = 1;

  // What a page value becomes on its way to the component. Strings,
  // booleans, numbers and null keep their kind; undefined has no JSON form
  // and travels as {undefined: true}; any other object arrives as an object
  // whose contents do not matter to any method. NaN and the infinities
  // become the numbers the component would make of them anyway.
  function encode(value) {
    switch (typeof value) {
      case 'string':
      case 'boolean':
        return value;
      case 'number':
        if (Number.isNaN(value)) return 0;
        if (value === Infinity) return Number.MAX_VALUE;
        if (value === -Infinity) return -Number.MAX_VALUE;
        return value;
      case 'undefined':
        return { undefined: true };
      default:
        return value === null ? null : {};
    }
  }

  function settle(reply) {
    if (!reply || !waiting.has(reply.id)) return;
    const { resolve, reject } = waiting.get(reply.id);
    waiting.delete(reply.id);
    if (typeof reply.result === 'string') resolve(reply.result);
    else if (reply.undefined === true) resolve(undefined);
    else if (typeof reply.exception === 'string') reject(new ErrorCtor(reply.exception));
    else reject(new ErrorCtor(String(reply.error || 'the signing component did not answer')));
  }

  function deliverEvent(message) {
    if (message.event !== 'componentWKPEvent' || !Array.isArray(message.args)) return;
    const handler = window.componentWKPEvent;
    if (typeof handler === 'function') handler(...message.args.map(String));
  }

  listen('message', (event) => {
    if (event.source !== window || event.origin !== origin) return;
    const m = event.data;
    if (!m || m.channel !== CHANNEL || m.dir !== 'to-page') return;
    if (m.type === 'reply') settle(m.reply);
    else if (m.type === 'event') deliverEvent(m);
  });

  const component = {};
  for (const name of METHODS) {
    component[name] = function (...args) {
      return new PromiseCtor((resolve, reject) => {
        const id = nextId++;
        waiting.set(id, { resolve, reject });
        post({ channel: CHANNEL, dir: 'to-ext', type: 'call', id, method: name,
               args: args.map(encode) }, origin);
      });
    };
  }
  Object.defineProperty(window, 'QuentaSign', {
    value: Object.freeze(component), writable: false, enumerable: false, configurable: false,
  });
})();
