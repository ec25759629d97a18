// Shared harness of the page tests: Debian's Chromium through playwright-core,
// the built pages served from a fixed origin with the API stubbed by route
// interception, and the checks every page test makes (no page or console
// error, no request outside the page's origin).
import { createRequire } from 'node:module';
import { readFileSync, mkdirSync } from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';

const require = createRequire(import.meta.url);
export const { chromium } = require('playwright-core');

export const ORIGIN = 'http://127.0.0.1:47123';
export const TOKEN = 'c0ffee00c0ffee00c0ffee00c0ffee00';
export const VERSION = '0.10.45';
export const BUILD_DATE = '2026-10-25';

export function launch() {
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--no-proxy-server', '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
  });
}

// A page of the running program: its errors, failed replies and any request
// that leaves the program's origin go into `out.errors` and `out.outside`.
export function watchRealPage(page, base, out) {
  page.on('pageerror', (e) => out.errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') out.errors.push(m.text()); });
  page.on('response', (r) => { if (r.status() >= 400) out.errors.push(r.status() + ' ' + r.url()); });
  page.on('request', (r) => { const u = r.url(); if (!u.startsWith(base + '/') && !u.startsWith('data:')) out.outside.push(u); });
}

// The words the server fills in where a page names a part of the desktop:
// placeholder -> text, read from the program's own table (platform/texts.h).
function readDesktopTexts() {
  const src = readFileSync(path.join(process.env.CORVANE_SOURCE_DIR, 'apps/corvane/src/platform/texts.h'), 'utf8');
  const consts = Object.fromEntries([...src.matchAll(/constexpr const char\* (k\w+) =\s*"((?:[^"\\]|\\.)*)";/g)]
    .map((m) => [m[1], m[2]]));
  const table = [...src.slice(src.indexOf('kPageDesktopTexts[]')).matchAll(/\{"(__\w+__)", (k\w+)\}/g)];
  assert.ok(table.length > 0, 'no desktop texts in platform/texts.h');
  return Object.fromEntries(table.map((m) => {
    assert.ok(consts[m[2]] !== undefined, m[2]);
    return [m[1], consts[m[2]]];
  }));
}
export const DESKTOP_TEXTS = readDesktopTexts();
// The clips folder an empty setting stands for, as the server would find it.
export const DEFAULT_FOLDER = '/home/u/Videos/Corvane';

// The page as the build made it, with the server's placeholders filled; the
// clip name, when given, as the server writes it: a JSON string with "</" escaped.
export function builtPage(name, clip) {
  const file = path.join(process.env.CORVANE_BUILD_DIR, 'apps', 'corvane', 'generated', 'assets', 'pages', name);
  let text = readFileSync(file, 'utf8').replaceAll('__TOKEN__', TOKEN).replaceAll('__VERSION__', VERSION)
    .replaceAll('__BUILD_DATE__', BUILD_DATE).replaceAll('"__CARPETA_PREDETERMINADA__"', JSON.stringify(DEFAULT_FOLDER));
  for (const [ph, words] of Object.entries(DESKTOP_TEXTS)) text = text.replaceAll(ph, words);
  if (clip !== undefined) text = text.replaceAll('"__CLIP__"', JSON.stringify(clip).replaceAll('</', '<\\/'));
  return text;
}

// A page that stands in for a frame: it records the window messages it gets.
const FRAME_STUB = '<!doctype html><html lang="es"><head><meta charset="utf-8"><title>stub</title></head><body>'
  + '<script>window.got=[];addEventListener("message",(e)=>{if(e.origin===location.origin)got.push(e.data);});</script></body></html>';

// Installed in every frame before its own scripts: counts the calls the page
// makes and the replies it has taken in, so a test can wait for "every reply
// drawn" instead of sleeping. A reply counts as taken in one task after the
// page read its body (or after a failed call or a non-2xx status, which the
// pages' call helper turns into an error without reading it): by then the
// promise handlers of the page have run. MessageChannel is not among the
// timers the fake clock replaces, so this holds with the clock paused too.
export function trackCalls() {
  const net = { asked: 0, api: 0, done: 0 };
  Object.defineProperty(window, '__net', { value: net });
  const later = () => {
    const ch = new MessageChannel();
    ch.port1.onmessage = () => { net.done += 1; ch.port1.close(); };
    ch.port2.postMessage(0);
  };
  const unread = new WeakSet();
  const fetch0 = window.fetch;
  window.fetch = function (input, init) {
    net.asked += 1;
    try {
      if (new URL(input instanceof Request ? input.url : String(input), location.href).pathname.startsWith('/api/')) net.api += 1;
    } catch (e) { /* an address fetch itself will refuse */ }
    const p = fetch0.call(this, input, init);
    p.then((r) => { if (r.ok) unread.add(r); else later(); }, later);
    return p;
  };
  for (const how of ['json', 'text', 'arrayBuffer', 'blob']) {
    const read0 = Response.prototype[how];
    Response.prototype[how] = function () {
      const p = read0.call(this);
      if (unread.delete(this)) p.then(later, later);
      return p;
    };
  }
}

// Opens `pageName` at `pathAndHash` on ORIGIN. `api` maps a route path
// ("/api/pestana") to a handler (request, body) => reply object, or
// { status, body } for a failure, or 'abort'. `files` maps other paths to a
// handler (request) => the options of route.fulfill. Returns the page and what it did.
// `html` replaces the built page (a page whose data the server writes in);
// `contextOptions` go to the browser context (timezoneId, ...). A handler may
// also answer any other path, and give `contentType` (and `headers`) for a
// raw reply; it gets the request as its third argument.
export async function openStubbed(browser, { pageName, pathAndHash, api = {}, clock = false, storage = {}, size, clip, files = {}, html, contextOptions = {} }) {
  const context = await browser.newContext({ viewport: size ?? { width: 1360, height: 920 }, ...contextOptions });
  const page = await context.newPage();
  const seen = { calls: [], errors: [], outside: [] };
  page.on('pageerror', (e) => seen.errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') seen.errors.push(m.text()); });
  page.on('request', (r) => {
    const u = r.url();
    if (!u.startsWith(ORIGIN + '/') && !u.startsWith('data:')) seen.outside.push(u);
  });
  await context.route('**/*', async (route) => {
    const req = route.request();
    const url = new URL(req.url());
    if (url.origin !== ORIGIN) return route.abort();
    if (url.pathname.startsWith('/api/') || api[url.pathname]) {
      const body = req.postData() ? JSON.parse(req.postData()) : null;
      seen.calls.push({ method: req.method(), path: url.pathname + url.search, body,
        key: req.headers()['x-crvn-clave'], type: req.headers()['content-type'] });
      const h = api[url.pathname];
      const out = h ? await h(url, body, req) : { status: 404, body: '?' };
      if (out === 'abort') return route.abort();
      if (out && out.status) {
        return route.fulfill({ status: out.status, contentType: out.contentType ?? 'text/plain', headers: out.headers,
          body: Buffer.isBuffer(out.body) ? out.body : String(out.body ?? '') });
      }
      return route.fulfill({ status: 200, contentType: 'application/json; charset=utf-8', body: JSON.stringify(out) });
    }
    if (url.pathname === pathAndHash.split(/[?#]/)[0]) {
      return route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8', body: html ?? builtPage(pageName, clip) });
    }
    if (files[url.pathname]) return route.fulfill(await files[url.pathname](req));
    return route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8', body: FRAME_STUB });
  });
  await context.addInitScript(trackCalls);
  if (Object.keys(storage).length) {
    await context.addInitScript((s) => { for (const [k, v] of Object.entries(s)) localStorage.setItem(k, v); }, storage);
  }
  if (clock) await page.clock.install({ time: new Date('2026-11-02T18:00:00Z') });
  // 'paused': from the first line of the page on, time moves only when the test says so.
  if (clock === 'paused') await page.clock.pauseAt(new Date('2026-11-02T18:01:00Z'));
  await page.goto(ORIGIN + pathAndHash);
  return { page, context, seen };
}

// What every page test ends with.
export async function finish({ context, seen }) {
  assert.deepEqual(seen.errors, [], 'page or console errors');
  assert.deepEqual(seen.outside, [], 'requests outside the origin');
  await context.close();
}

export async function screenshot(page, name) {
  const dir = path.join(process.env.CORVANE_BUILD_DIR, 'test-artefacts', 'pages');
  mkdirSync(dir, { recursive: true });
  await page.screenshot({ path: path.join(dir, name) });
}

// Waits for a condition inside the page with a generous deadline: a loaded
// two-core machine can take many seconds to run a page under test.
export function until(page, fn, arg) {
  return page.waitForFunction(fn, arg, { timeout: 60000 });
}

// Every call the page made has been answered and the reply taken in.
export function settled(page) {
  return until(page, () => window.__net.asked === window.__net.done);
}

// Every /api/ call made by any frame of the page has reached the stubs (seen.calls),
// answered or not: what a check of the calls needs after the page may have made one.
export async function reached({ page, seen }) {
  const end = Date.now() + 60000;
  for (;;) {
    let asked = 0;
    for (const f of page.frames()) asked += await f.evaluate(() => (window.__net ? window.__net.api : 0)).catch(() => 0);
    const got = seen.calls.filter((c) => c.path.startsWith('/api/')).length;
    if (got >= asked) return;
    if (Date.now() > end) throw new Error(`${got} calls reached the stubs, the page made ${asked}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

// Fonts loaded and no finite animation or transition under way: a still page
// to take a picture of.
export function still(page) {
  return until(page, () => document.fonts.status === 'loaded'
    && document.getAnimations().every((a) => a.playState !== 'running' || a.effect?.getComputedTiming().endTime === Infinity));
}
