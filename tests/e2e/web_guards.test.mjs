// The web server's guards and page templates seen from Debian's Chromium: the
// Origin a real page sends, the Host check, the token written into the page,
// and clip names that try to break out of the analysis page's script.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import { randomBytes } from 'node:crypto';
import path from 'node:path';

const require = createRequire(import.meta.url);
const { chromium } = require('playwright-core');

const servers = [];
let browser;

// The web server alone (tests/web/tools/http_serve.cpp) on 127.0.0.1.
function startServer() {
  const token = randomBytes(16).toString('hex');
  const bin = path.join(process.env.CORVANE_BUILD_DIR, 'apps', 'corvane', 'http_serve');
  const child = spawn(bin, [token, '300'], { stdio: ['pipe', 'pipe', 'inherit'] });
  servers.push(child);
  return new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error('http_serve did not start')), 20000);
    child.on('error', reject);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/^(\d+)\n/);
      if (m) {
        clearTimeout(timer);
        resolve({ token, port: Number(m[1]), base: `http://127.0.0.1:${m[1]}` });
      }
    });
  });
}

let A, B;
before(async () => {
  [A, B] = await Promise.all([startServer(), startServer()]);
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--no-proxy-server'],
  });
});

after(async () => {
  if (browser) await browser.close();
  for (const s of servers) {
    s.stdin.end();  // the server ends when its input closes
    s.kill();
  }
});

test('a page of the interface calls the API with its token and origin', async () => {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  const resp = await page.goto(`${A.base}/ajustes?t=${A.token}`);
  assert.equal(resp.status(), 200);
  assert.equal(await page.title(), 'Corvane · Ajustes');
  const r = await page.evaluate(async () => {
    const h = { 'X-CRVN-Clave': TOKEN, 'Content-Type': 'application/json' };
    const get = await fetch('/api/pestana', { headers: h });
    // A POST carries the page's Origin: it must pass the guard (no POST route here yet: 404).
    const post = await fetch('/api/pestana', { method: 'POST', headers: h, body: '{}' });
    const bad = await fetch('/api/pestana', { headers: { 'X-CRVN-Clave': 'x' } });
    return {
      get: [get.status, await get.text()],
      post: [post.status, await post.text()],
      bad: [bad.status, await bad.text()],
    };
  });
  assert.deepEqual(r, {
    get: [200, '{"pestana":null,"clips":3}'],
    post: [404, '?'],
    bad: [403, 'clave'],
  });
  assert.deepEqual(errors, []);
  await page.close();
});

test('another name for the host and a missing token are refused', async () => {
  const page = await browser.newPage();
  let resp = await page.goto(`http://localhost:${A.port}/ajustes?t=${A.token}`);
  assert.equal(resp.status(), 403);
  assert.equal(await resp.text(), 'no');
  resp = await page.goto(`${A.base}/ajustes`);
  assert.equal(resp.status(), 403);
  assert.equal(await page.evaluate(() => document.body.innerText.trim()),
               'Abre Corvane desde su ícono junto al reloj.');
  await page.close();
});

test('a page from another origin cannot call the API', async () => {
  const page = await browser.newPage();
  await page.goto(`${B.base}/?t=${B.token}`);
  const outcome = await page.evaluate(async ([url, key]) => {
    try {
      const r = await fetch(url, { headers: { 'X-CRVN-Clave': key } });
      return `answered ${r.status}`;
    } catch (e) {
      return 'blocked';
    }
  }, [`${A.base}/api/pestana`, A.token]);
  assert.equal(outcome, 'blocked');
  await page.close();
});

test('clip names cannot break out of the analysis page script', async () => {
  const names = [
    '</script><script>window.pwned=1</script>.mp4',
    '<!--<script>window.pwned=2</script>.mp4',
    '__TOKEN__ "x" \\ </SCRIPT>.mp4',
    'Día 1/Bajas/CRVN_2026-01-05_21-03-11.mp4',
  ];
  for (const name of names) {
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    const resp = await page.goto(`${A.base}/analisis?t=${A.token}&clip=${encodeURIComponent(name)}`);
    assert.equal(resp.status(), 200);
    assert.equal(await page.title(), 'Corvane · Análisis · ' + name.slice(name.lastIndexOf('/') + 1));
    const seen = await page.evaluate(() => ({
      clip: CLIP,
      pwned: window.pwned ?? null,
      key: TOKEN,
    }));
    assert.deepEqual(seen, { clip: name, pwned: null, key: A.token }, name);
    assert.deepEqual(errors, [], name);
    await page.close();
  }
});
