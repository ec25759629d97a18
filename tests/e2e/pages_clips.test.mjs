// The clips page on stubbed data: filters, day groups, the 400-row cut,
// selection, the confirmation texts, the viewer calls (order, chunks,
// failures, late replies), segments and the starting mark, reloads and keys.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { launch, openStubbed, finish, screenshot, until, builtPage, ORIGIN, TOKEN } from './pages/support.mjs';

let browser;
let media = null;
before(async () => { browser = await launch(); });
after(async () => {
  if (browser) await browser.close();
  if (media) rmSync(media.dir, { recursive: true, force: true });
});

// Small real clips for the player: H.264/AAC plays here, HEVC does not.
function mediaFiles() {
  if (media) return media;
  const dir = mkdtempSync(path.join(tmpdir(), 'crvn-clips-'));
  const make = (name, codec) => {
    const out = path.join(dir, name);
    execFileSync('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc2=size=160x90:rate=30', '-f', 'lavfi', '-i', 'sine=frequency=440',
      '-t', '40', '-c:v', codec, '-pix_fmt', 'yuv420p', '-c:a', 'aac', '-movflags', '+faststart', '-y', out]);
    return readFileSync(out);
  };
  media = { dir, h264: make('a.mp4', 'libx264'), hevc: make('b.mp4', 'libx265') };
  return media;
}

// A media reply as the server gives it: byte ranges, so the player can seek.
function serveMedia(bytes, req) {
  const m = /^bytes=(\d+)-(\d*)$/.exec(req.headers().range ?? '');
  if (!m) return { status: 200, contentType: 'video/mp4', headers: { 'Accept-Ranges': 'bytes' }, body: bytes };
  const from = +m[1];
  const to = m[2] === '' ? bytes.length - 1 : Math.min(+m[2], bytes.length - 1);
  return { status: 206, contentType: 'video/mp4', body: bytes.subarray(from, to + 1),
    headers: { 'Accept-Ranges': 'bytes', 'Content-Range': `bytes ${from}-${to}/${bytes.length}` } };
}

const TODAY = '2026-11-02';
const API_OBJ = { base: ORIGIN, t: TOKEN };
// What the server does to the literals it writes into the page.
const lit = (v) => JSON.stringify(v).replaceAll('</', '<\\/').replaceAll('<!--', '\\u003C!--');
function clipsHtml({ data = [], clips = {}, disk = null, gen = '5', api = API_OBJ }) {
  return builtPage('clips.html')
    .replace('/*__DATA__*/[]', () => lit(data))
    .replace('/*__CLIPS__*/{}', () => lit(clips))
    .replace('/*__DISCO__*/null', () => lit(disk))
    .replace('__GENERATED__', '2026-11-02 12:00:00')
    .replace('__VIEWER_KEY__', 'Ctrl+Shift+E')
    .replace('__GENSTAMP__', gen)
    .replace('/*__API__*/null', () => lit(api));
}

// `visor(params)` answers one viewer call: a result object, 'abort', or a
// promise of either; `script` replaces the reply text.
function clipsPage(fx, { visor, api = {}, clock = true, storage = {}, size, tz = 'UTC', embed = true } = {}) {
  const routes = {
    '/api/visor': async (url) => {
      const out = await (visor ? visor(Object.fromEntries(url.searchParams), url) : { ok: false, error: 'sin stub' });
      if (out === 'abort') return 'abort';
      const body = typeof out === 'object' && out.script ? out.script : `window.__crvnVisor && window.__crvnVisor(${lit(out)});`;
      return { status: 200, contentType: 'application/javascript; charset=utf-8', body };
    },
    '/clip': (u, b, req) => serveMedia(mediaFiles().h264, req),
    ...api,
  };
  return openStubbed(browser, {
    pageName: 'clips.html', pathAndHash: `/clips?t=${TOKEN}${embed ? '&embed=1' : ''}`, html: clipsHtml(fx),
    api: routes, clock, storage, size, contextOptions: { timezoneId: tz },
  });
}
const visorCalls = (s) => s.seen.calls.filter((c) => c.path.startsWith('/api/visor')).map((c) => Object.fromEntries(new URL(ORIGIN + c.path).searchParams));
const listing = (page) => page.evaluate(() => ({
  rows: [...document.querySelectorAll('#list .ev')].map((e) => +e.dataset.p),
  days: [...document.querySelectorAll('#list .day')].map((d) => d.textContent),
  count: document.getElementById('count').textContent,
  empty: document.querySelector('#list .empty')?.textContent ?? null,
}));
const toastText = (page) => page.evaluate(() => { const t = document.getElementById('toast'); return t.classList.contains('show') ? [t.textContent, t.classList.contains('err')] : null; });
const row = (page, pos) => page.locator(`#list .ev[data-p="${pos}"]`);
function countLoads(page) {
  const n = { loads: 0 };
  page.on('framenavigated', (f) => { if (f === page.mainFrame()) n.loads++; });
  return n;
}
async function search(page, text) {
  await page.fill('#q', text);
  await page.clock.runFor(150);
}
const ev = (tipo, fecha, hora, extra = {}) => ({ fecha, hora, tipo, ...extra });

test('filters, day groups and the empty messages', async () => {
  const data = [
    ev('baja', TODAY, '10:00:00', { enemigo: 'Zeta', mapa: 'Cámara Norte', modo: 'Battle Royale', clip: 'd/Bajas/a.mp4' }),
    ev('muerte', '2026-11-01', '09:00:00', { enemigo: 'Alfa', arma: 'Kastov 762', modo: 'Resurgimiento Quads' }),
    ev('derribo', '2026-10-27', '08:00:00', { enemigo: 'Beta' }),
    ev('baja', '2026-10-26', '08:00:00', { enemigo: 'Delta' }),
    ev('baja', '2026-10-04', '08:00:00', { enemigo: 'Eco' }),
    ev('baja', '2026-10-03', '08:00:00', { enemigo: 'Foxtrot' }),
    ev('baja', '2026-11-05', '08:00:00', { enemigo: 'Futuro' }),
    { tipo: 'partida', partida: 'p1', modo: 'Resurgimiento Dúos', mapa: 'Fortune', fecha: TODAY, hora: '10:30:00' },
    ev('baja', TODAY, '11:00:00', { enemigo: 'Gamma', partida: 'p1', modo: null }),
    ev('killcam', TODAY, '11:30:00', { enemigo: 'Nunca' }),
    null,
    ev('manual', TODAY, '12:00:00', { clip: '2026-11-02/Manual/CRVN_2026-11-02_12-00-00.mp4' }),
    ev('baja', TODAY, '09:00:00', { enemigo: 7, medallas: 'x', clip: 5, clan: ['no'], veces: 'tres' }),
  ];
  const clips = { 'd/Bajas/a.mp4': { eventos: null, duracion: 65.2, archivado: true, auto: true, bytes: 1, analisis: true, mic: false } };
  const s = await clipsPage({ data, clips });
  const { page } = s;
  const cases = [
    // [period, kind, mode, search, rows in order]
    ['hoy', '', '', '', [11, 8, 0, 12]],
    ['7', '', '', '', [6, 11, 8, 0, 12, 1, 2]],
    ['30', '', '', '', [6, 11, 8, 0, 12, 1, 2, 3, 4]],
    ['todo', '', '', '', [6, 11, 8, 0, 12, 1, 2, 3, 4, 5]],
    ['todo', '', '', 'camara', [0]],
    ['todo', '', '', '  kastov    762 ', [1]],
    ['todo', '', '', 'kastov 999', []],
    ['todo', 'derribo', '', '', [2]],
    ['todo', 'manual', '', '', [11]],
    ['todo', '', 'Resurgimiento Dúos', '', [8]],
    ['todo', '', '', 'fortune', [8]],
  ];
  for (const [period, kind, mode, q, rows] of cases) {
    await page.click(`#periods [data-v="${period}"]`);
    await page.click(`#kinds [data-v="${kind}"]`);
    await page.selectOption('#mode', mode);
    await search(page, q);
    const l = await listing(page);
    assert.deepEqual(l.rows, rows, `${period}/${kind}/${mode}/${q}`);
    if (!rows.length) assert.equal(l.empty, 'Ningún clip coincide con el filtro.');
  }
  // The mode list: known modes first in their order, then the rest.
  assert.deepEqual(await page.$$eval('#mode option', (o) => o.map((x) => x.value)),
    ['', 'Resurgimiento Quads', 'Resurgimiento Dúos', 'Battle Royale']);
  await search(page, '');
  await page.selectOption('#mode', '');
  await page.click('#kinds [data-v=""]');
  await page.click('#periods [data-v="7"]');
  const l = await listing(page);
  assert.deepEqual(l.days, ['jueves 5 nov 1 evento', 'Hoy · lunes 2 nov 4 eventos', 'Ayer · domingo 1 nov 1 evento', 'martes 27 oct 1 evento']);
  assert.equal(l.count, '7 eventos · 1 con clip');
  // The row of a clip: time, label, head, chips, pin and its buttons.
  const r0 = await row(page, 0).innerText();
  for (const part of ['10:00', 'BAJA', 'Eliminaste a Zeta', 'Battle Royale', '🗺 Cámara Norte', '⏱ 1:05', '📌', '▶ ver', '🧠✓']) assert.ok(r0.includes(part), part + ' in ' + r0);
  assert.ok((await row(page, 11).innerText()).includes('Clip manual'));
  assert.ok((await row(page, 11).innerText()).includes('sin clip'));
  // The period is kept across windows, the kind per window.
  assert.equal(await page.evaluate(() => localStorage.getItem('crvn-range')), '7');
  await screenshot(page, 'clips-list.png');
  await finish(s);

  // Nothing today: the period alone gives the no-clips message.
  const e = await clipsPage({ data: [ev('baja', '2026-10-01', '10:00:00')] });
  assert.equal((await listing(e.page)).empty, 'Sin clips en este periodo. Cuando el detector vea una baja, un derribo o tu muerte (o presiones la tecla de guardar), aparecen aquí.');
  assert.equal((await listing(e.page)).count, '');
  assert.equal(await e.page.locator('#all').isDisabled(), true);
  await finish(e);
});

test('stored filters: a mode that no longer occurs is dropped, the kind is restored', async () => {
  const data = [ev('baja', TODAY, '10:00:00', { modo: 'Battle Royale' }), ev('muerte', TODAY, '11:00:00', { modo: 'Battle Royale' })];
  const s = await clipsPage({ data }, { storage: { 'crvn-range': 'todo' } });
  const { page } = s;
  await page.evaluate(() => { sessionStorage.setItem('crvn-mode', 'Modo viejo'); sessionStorage.setItem('crvn-type', 'muerte'); });
  await page.reload();
  assert.equal(await page.inputValue('#mode'), '');
  assert.equal(await page.locator('#kinds .btn.on').getAttribute('data-v'), 'muerte');
  assert.equal(await page.locator('#periods .btn.on').getAttribute('data-v'), 'todo');
  assert.deepEqual((await listing(page)).rows, [1]);
  await page.evaluate(() => sessionStorage.setItem('crvn-mode', 'Battle Royale'));
  await page.reload();
  assert.equal(await page.inputValue('#mode'), 'Battle Royale');
  await finish(s);
});

test('401 events show the 400 newest; the oldest day still counts all its events', async () => {
  const data = [];
  for (let i = 0; i < 301; i++) data.push(ev('baja', TODAY, `10:${String(Math.floor(i / 60)).padStart(2, '0')}:${String(i % 60).padStart(2, '0')}`));
  for (let i = 0; i < 100; i++) data.push(ev('muerte', '2026-11-01', `09:00:${String(i % 60).padStart(2, '0')}`));
  const s = await clipsPage({ data });
  const { page } = s;
  await page.click('#periods [data-v="todo"]');
  const l = await listing(page);
  assert.equal(l.rows.length, 400);
  assert.equal(l.count, '401 eventos · 0 con clip · se muestran los 400 más recientes');
  assert.deepEqual(l.days, ['Hoy · lunes 2 nov 301 eventos', 'Ayer · domingo 1 nov 100 eventos']);
  // The whole history is never put into the page at once, and no video is loaded.
  assert.equal(s.seen.calls.filter((c) => c.path.startsWith('/clip')).length, 0);
  await finish(s);
});

test('day labels around a daylight-saving change', async () => {
  const s = await clipsPage({ data: [] }, { tz: 'Europe/Madrid' });
  const got = await s.page.evaluate(() => ['2026-03-29', '2026-03-30', '2026-10-25', '2026-11-01', '2026-11-02', '2026-01-05', 'x'].map(dayLabel));
  assert.deepEqual(got, ['domingo 29 mar', 'lunes 30 mar', 'domingo 25 oct', 'Ayer · domingo 1 nov', 'Hoy · lunes 2 nov', 'lunes 5 ene', 'x']);
  await finish(s);
});

test('selection: shift ranges both ways, the mixed box, the bar and its archive button', async () => {
  const data = [];
  for (let i = 0; i < 6; i++) data.push(ev('baja', TODAY, `10:00:0${i}`, { clip: `d/Bajas/c${i}.mp4` }));
  data.push(ev('manual', TODAY, '09:00:00', { clip: 'd/Manual/m.mp4' }));
  data.push(ev('muerte', TODAY, '08:00:00'));
  const clips = { 'd/Manual/m.mp4': { auto: false, archivado: false } };
  for (let i = 0; i < 6; i++) clips[`d/Bajas/c${i}.mp4`] = { auto: true, archivado: i < 2 };
  const s = await clipsPage({ data, clips });
  const { page } = s;
  const selected = () => page.evaluate(() => [...sel].sort((a, b) => a - b));
  const box = (p) => row(page, p).locator('input.rowck');
  const allBox = () => page.evaluate(() => { const a = document.getElementById('all'); return [a.checked, a.indeterminate]; });
  // List order is newest first: positions 5,4,3,2,1,0,6,7.
  await box(4).click();
  await box(1).click({ modifiers: ['Shift'] });
  assert.deepEqual(await selected(), [1, 2, 3, 4]);
  assert.deepEqual(await allBox(), [false, true]);
  assert.equal(await page.locator('#selN').textContent(), '4 seleccionados');
  assert.equal(await page.locator('#selAll').textContent(), 'Seleccionar todo (8)');
  assert.equal(await page.locator('#selArch').textContent(), '📌 Archivar');
  // Upwards, on an already ticked row: the whole range from the last click is unticked.
  await box(3).click({ modifiers: ['Shift'] });
  assert.deepEqual(await selected(), [4]);
  // Only archived automatic clips: the button offers to un-archive.
  await box(4).click();
  await box(1).click();
  await box(0).click({ modifiers: ['Shift'] });
  assert.deepEqual(await selected(), [0, 1]);
  assert.equal(await page.locator('#selArch').textContent(), '📌 Desarchivar');
  // Manual clips only, or no clip: nothing to archive.
  for (const pick of [[6], [7], [6, 7]]) {
    await page.click('#selClear');
    for (const p of pick) await box(p).click();
    assert.equal(await page.locator('#selArch').isDisabled(), true, String(pick));
    assert.equal(await page.locator('#selArch').getAttribute('title'), 'Lo seleccionado no tiene clips automáticos (los manuales nunca se borran solos)');
  }
  await page.click('#selAll');
  assert.deepEqual(await allBox(), [true, false]);
  assert.equal(await page.locator('#selAll').textContent(), 'Desmarcar todo');
  await page.click('#all');
  assert.deepEqual(await selected(), []);
  assert.equal(await page.locator('#selbar').isVisible(), false);
  // A filter change clears the selection.
  await box(5).click();
  await page.click('#kinds [data-v="baja"]');
  assert.deepEqual(await selected(), []);
  await page.click('#kinds [data-v=""]');
  await box(5).click();
  await page.setViewportSize({ width: 600, height: 800 });
  await until(page, () => document.getElementById('selAll').textContent === 'Todo');
  const bar = await page.locator('#selbar').boundingBox();
  assert.equal(Math.round(bar.width), 600);
  await screenshot(page, 'clips-narrow.png');
  await finish(s);
});

test('the confirmation texts', async () => {
  // c2 has two kills, c3 a kill and a death, c4 is archived, m1/m2 manual.
  const data = [
    ev('baja', TODAY, '10:00:00', { clip: 'd/Bajas/c2.mp4' }),
    ev('baja', TODAY, '10:00:01', { clip: 'd/Bajas/c2.mp4' }),
    ev('baja', TODAY, '10:00:02', { clip: 'd/Bajas/c3.mp4' }),
    ev('muerte', '2026-10-01', '10:00:03', { clip: 'd/Bajas/c3.mp4' }),
    ev('baja', TODAY, '10:00:04', { clip: 'd/Bajas/c4.mp4' }),
    ev('baja', TODAY, '10:00:05'),
    ev('manual', TODAY, '09:00:00', { clip: 'd/Manual/m1.mp4' }),
    ev('manual', TODAY, '09:00:01', { clip: 'd/Manual/m2.mp4' }),
  ];
  const clips = { 'd/Bajas/c2.mp4': { auto: true }, 'd/Bajas/c3.mp4': { auto: true }, 'd/Bajas/c4.mp4': { auto: true, archivado: true },
    'd/Manual/m1.mp4': { auto: false }, 'd/Manual/m2.mp4': { auto: false } };
  const s = await clipsPage({ data, clips });
  const { page } = s;
  const cases = [
    [[0, 1], '¿Borrar 2 eventos?', 'También se borra 1 clip (video, marcas y análisis). No se puede deshacer.'],
    [[0], '¿Borrar 1 evento?', '1 clip se queda porque tiene otros eventos. No se puede deshacer.'],
    // The death naming c3 is hidden by the period: c3 still stays.
    [[2], '¿Borrar 1 evento?', '1 clip se queda porque tiene otros eventos. No se puede deshacer.'],
    [[4, 0], '¿Borrar 2 eventos?', 'También se borra 1 clip (video, marcas y análisis), 1 archivado. 1 clip se queda porque tiene otros eventos. No se puede deshacer.'],
    [[5], '¿Borrar 1 evento?', 'No se puede deshacer.'],
    [[6, 7, 4], '¿Borrar 3 eventos?', 'También se borran 3 clips (video, marcas y análisis), 1 archivado. No se puede deshacer.'],
    [[0, 2], '¿Borrar 2 eventos?', '2 clips se quedan porque tienen otros eventos. No se puede deshacer.'],
  ];
  for (const [pick, title, text] of cases) {
    await page.evaluate(() => setAll(false));
    for (const p of pick) await row(page, p).locator('input.rowck').click();
    await page.click('#selDel');
    assert.equal(await page.locator('#cfTitle').textContent(), title, String(pick));
    assert.equal(await page.locator('#cfText').textContent(), text, String(pick));
    assert.equal(await page.evaluate(() => document.activeElement.id), 'cfCancel');
    // Escape answers no and does nothing else: the selection stays.
    await page.keyboard.press('Escape');
    assert.equal(await page.locator('#confirm').isVisible(), false);
    assert.equal(await page.evaluate(() => sel.size), pick.length);
  }
  // The backdrop and "Cancelar" answer no as well.
  await page.click('#selDel');
  await page.mouse.click(5, 5);
  await page.click('#selDel');
  await page.click('#cfCancel');
  assert.deepEqual(visorCalls(s), []);
  await finish(s);
});

test('deleting: events first, then each manual clip, one call at a time', async () => {
  const data = [
    ev('baja', TODAY, '10:00:00', { clip: 'd/Bajas/c2.mp4' }),
    ev('muerte', TODAY, '10:00:01', { clip: 'd/Bajas/c2.mp4', enemigo: 'X' }),
    ev('manual', TODAY, '09:00:00', { clip: 'd/Manual/m1.mp4' }),
    ev('manual', TODAY, '09:00:01', { clip: 'd/Manual/m2.mp4' }),
  ];
  const clips = { 'd/Bajas/c2.mp4': { auto: true }, 'd/Manual/m1.mp4': { auto: false }, 'd/Manual/m2.mp4': { auto: false } };
  const cases = [
    [[0, 1, 2, 3], ['borrar_eventos', 'borrar_clip', 'borrar_clip'], '4 eventos borrados · 3 clips'],
    [[2, 3], ['borrar_clip', 'borrar_clip'], '2 eventos borrados · 2 clips'],
    [[0], ['borrar_eventos'], '1 evento borrado'],
  ];
  for (const [pick, actions, message] of cases) {
    let inFlight = 0, most = 0;
    const s = await clipsPage({ data, clips }, {
      visor: async (p) => {
        most = Math.max(most, ++inFlight);
        await new Promise((r) => setTimeout(r, 60));
        inFlight--;
        if (p.a === 'borrar_eventos') { const n = JSON.parse(p.ev).length; return { eventos: n, clips: n === 2 ? 1 : 0, errores: [], ok: true }; }
        return { eventos: 1, clip_borrado: true, ok: true };
      },
    });
    const { page } = s;
    const loads = countLoads(page);
    // Time stands still until the toast is read: a running clock's reload,
    // 400 ms after the deletion, could take the toast away first on a loaded machine.
    await page.clock.pauseAt(await page.evaluate(() => Date.now() + 2000));
    for (const p of pick) await row(page, p).locator('input.rowck').click();
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.keyboard.press('Delete');
    await page.click('#cfOk');
    await until(page, () => document.getElementById('toast').classList.contains('show'));
    assert.deepEqual(await toastText(page), [message, false]);
    const calls = visorCalls(s);
    assert.deepEqual(calls.map((c) => c.a), actions);
    assert.equal(most, 1, 'never two calls at once');
    for (const c of calls) {
      assert.equal(c.t, TOKEN);
      assert.ok(/^\d+$/.test(c._));
    }
    const evCall = calls.find((c) => c.a === 'borrar_eventos');
    if (evCall) assert.deepEqual(JSON.parse(evCall.ev), pick.filter((p) => p < 2).sort((a, b) => b - a).map((p) => [p, data[p].fecha, data[p].hora, data[p].tipo]));
    assert.deepEqual(calls.filter((c) => c.a === 'borrar_clip').map((c) => c.clip), pick.filter((p) => p >= 2).map((p) => data[p].clip));
    // Reloaded 400 ms later, keeping the scroll offset.
    await page.clock.runFor(450);
    await until(page, () => document.readyState === 'complete');
    await until(page, () => true);
    assert.equal(loads.loads >= 1, true, 'reloaded');
    await finish(s);
  }
});

test('a selection of more events than one call takes goes in chunks, highest positions first', async () => {
  const data = [];
  for (let i = 0; i < 450; i++) data.push(ev('baja', TODAY, `1${Math.floor(i / 60) % 10}:${String(i % 60).padStart(2, '0')}:00`));
  const s = await clipsPage({ data }, { visor: (p) => ({ eventos: JSON.parse(p.ev).length, clips: 0, errores: [], ok: true }) });
  const { page } = s;
  await page.click('#all');
  assert.equal(await page.locator('#selN').textContent(), '450 seleccionados');
  await page.click('#selDel');
  assert.equal(await page.locator('#cfTitle').textContent(), '¿Borrar 450 eventos?');
  // The page reloads soon after a deletion, and a read from the test could
  // meet the reload instead of the toast: the page reports what it shows.
  const toasts = [];
  await page.exposeFunction('__toastShown', (t) => toasts.push(t));
  await page.evaluate(() => {
    const t = document.getElementById('toast');
    new MutationObserver(() => {
      if (t.classList.contains('show')) window.__toastShown([t.textContent, t.classList.contains('err')]);
    }).observe(t, { attributes: true, childList: true, subtree: true, characterData: true });
  });
  await page.click('#cfOk');
  const want = ['450 eventos borrados', false];
  const same = (t) => t[0] === want[0] && t[1] === want[1];
  for (const by = Date.now() + 30000; Date.now() < by && !toasts.some(same);) await new Promise((r) => setTimeout(r, 50));
  assert.deepEqual(toasts.find(same) ?? toasts.at(-1) ?? null, want);
  const sent = visorCalls(s).map((c) => JSON.parse(c.ev).map((x) => x[0]));
  assert.deepEqual(sent.map((x) => x.length), [200, 200, 50]);
  const flat = sent.flat();
  assert.deepEqual(flat, [...flat].sort((a, b) => b - a));
  assert.equal(new Set(flat).size, 450);
  await finish(s);
});

test('failed deletions: what the user reads, and a reload whenever positions may have moved', async () => {
  const data = [ev('baja', TODAY, '10:00:00', { clip: 'd/Bajas/c.mp4' }), ev('manual', TODAY, '09:00:00', { clip: 'd/Manual/m.mp4' })];
  const clips = { 'd/Bajas/c.mp4': { auto: true }, 'd/Manual/m.mp4': { auto: false } };
  const never = () => new Promise(() => {});
  const cases = [
    // [name, fixture overrides, visor, toast, reloads]
    ['no API', { api: null }, null, ['Abre Corvane (ícono junto al reloj) y vuelve a abrir los Clips.', true], false],
    ['refused', {}, () => ({ ok: false, error: 'el clip ya no existe' }), ['el clip ya no existe', true], false],
    ['refused without text', {}, () => ({ ok: false }), ['no se pudo', true], false],
    ['server gone', {}, () => 'abort', ['Corvane no responde (¿se cerró o reinició?). Vuelve a abrir los Clips desde el ícono.', true], false],
    ['a reply that is not ours', {}, () => ({ script: '/* nada */' }), ['no se pudo', true], false],
    ['no reply', {}, never, ['Corvane no respondió.', true], true],
    ['events gone, the clip refused', {}, (p) => (p.a === 'borrar_eventos' ? { eventos: 1, clips: 0, errores: [], ok: true } : { ok: false, error: 'clip no válido' }),
      ['1 evento borrado · clip no válido', true], true],
    ['some events refused', {}, (p) => (p.a === 'borrar_eventos' ? { eventos: 1, clips: 1, errores: ['ese evento ya no existe (vuelve a abrir los Clips)'], ok: true } : { eventos: 1, clip_borrado: true, ok: true }),
      ['2 eventos borrados · 2 clips · 1 error: ese evento ya no existe (vuelve a abrir los Clips)', true], true],
  ];
  for (const [name, fx, visor, message, reloads] of cases) {
    const s = await clipsPage({ data, clips, ...fx }, { visor: visor ?? undefined });
    const { page } = s;
    const loads = countLoads(page);
    await page.clock.pauseAt(await page.evaluate(() => Date.now() + 2000));
    await row(page, 0).locator('input.rowck').click();
    await row(page, 1).locator('input.rowck').click();
    await page.keyboard.press('Delete');
    await page.click('#cfOk');
    if (visor === never) {
      await until(page, () => document.querySelector('head script[src*="/api/visor"]'));
      await page.clock.runFor(15000);
    }
    await until(page, () => document.getElementById('toast').classList.contains('show'));
    assert.deepEqual(await toastText(page), message, name);
    // The browser itself reports the refused script load.
    if (name === 'server gone') s.seen.errors = s.seen.errors.filter((e) => !e.includes('net::ERR_FAILED'));
    // The viewer script elements are gone and the callback is uninstalled.
    assert.equal(await page.evaluate(() => [document.querySelectorAll('head script').length, typeof window.__crvnVisor]).then((x) => x.join()), '0,undefined', name);
    if (!reloads) {
      assert.equal(await page.evaluate(() => sel.size), 2, name);
      await page.clock.runFor(7000);
      assert.equal(loads.loads, 0, name);
    } else {
      // No deletion until the page has been reloaded: the positions are stale.
      const before = visorCalls(s).length;
      assert.equal(await page.locator('#selDel').isDisabled(), true, name);
      await page.keyboard.press('Delete');
      assert.equal(await page.locator('#confirm').isVisible(), false, name);
      assert.equal(visorCalls(s).length, before, name);
      await page.clock.runFor(6100);
      await until(page, () => true);
      await page.waitForLoadState('load');
      assert.equal(loads.loads, 1, name);
    }
    await finish(s);
  }
});

test('a late reply to a timed-out call is not taken for the next call', async () => {
  const data = [ev('baja', TODAY, '10:00:00', { clip: 'd/Bajas/c.mp4' })];
  const clips = { 'd/Bajas/c.mp4': { auto: true, archivado: false } };
  const held = [];
  const s = await clipsPage({ data, clips }, {
    visor: () => new Promise((resolve) => held.push(resolve)),
  });
  const { page } = s;
  await page.clock.pauseAt(await page.evaluate(() => Date.now() + 2000));
  await row(page, 0).locator('input.rowck').click();
  await page.click('#selArch');
  await until(page, () => document.querySelector('head script[src*="/api/visor"]'));
  await page.clock.runFor(15000);
  await until(page, () => document.getElementById('toast').textContent === 'Corvane no respondió.');
  await page.click('#selArch');
  while (held.length < 2) await new Promise((r) => setTimeout(r, 20));
  // The first call's reply arrives now, while the second waits.
  held[0]({ script: 'window.__late = true; window.__crvnVisor && window.__crvnVisor({"clips":1,"archivado":true,"ok":true});' });
  await until(page, () => window.__late === true);
  assert.equal(await page.evaluate(() => CLIPS['d/Bajas/c.mp4'].archivado), false);
  held[1]({ ok: false, error: 'segunda' });
  await until(page, () => document.getElementById('toast').textContent === 'segunda');
  assert.equal(await page.evaluate(() => CLIPS['d/Bajas/c.mp4'].archivado), false);
  await finish(s);
});

test('archiving: the selection bar and the player button', async () => {
  const data = [ev('baja', TODAY, '10:00:00', { clip: 'd/Bajas/a.mp4' }), ev('baja', TODAY, '10:00:01', { clip: 'd/Bajas/b.mp4' })];
  const clips = { 'd/Bajas/a.mp4': { auto: true, archivado: false }, 'd/Bajas/b.mp4': { auto: true, archivado: true } };
  const s = await clipsPage({ data, clips }, { visor: (p) => (p.a === 'archivar_varios' ? { clips: JSON.parse(p.clips).length, archivado: p.v !== '0', ok: true } : { archivado: p.v !== '0', ok: true }) });
  const { page } = s;
  await row(page, 0).locator('input.rowck').click();
  await row(page, 1).locator('input.rowck').click();
  await page.click('#selArch');
  await until(page, () => document.getElementById('toast').classList.contains('show'));
  assert.deepEqual(await toastText(page), ['📌 2 clips archivados: nunca se borran solos', false]);
  assert.deepEqual(visorCalls(s).map((c) => [c.a, c.clips, c.v]), [['archivar_varios', '["d/Bajas/a.mp4","d/Bajas/b.mp4"]', '1']]);
  assert.equal(await page.evaluate(() => sel.size), 0);
  assert.equal(await row(page, 0).locator('.pin').textContent(), '📌');
  // The player's button un-archives one clip and the list follows without a reload.
  await row(page, 0).locator('[data-act=ver]').click();
  assert.equal(await page.locator('#pArch').textContent(), '📌 Archivado');
  await page.click('#pArch');
  await until(page, () => document.getElementById('toast').textContent.startsWith('Desarchivado'));
  assert.deepEqual(await toastText(page), ['Desarchivado: se recicla con los demás al llenarse el espacio', false]);
  assert.equal(await page.locator('#pArch').textContent(), '📌 Archivar');
  assert.equal(await row(page, 0).locator('.pin').textContent(), '');
  assert.deepEqual(visorCalls(s).at(-1).a, 'archivar');
  assert.deepEqual([visorCalls(s).at(-1).clip, visorCalls(s).at(-1).v], ['d/Bajas/a.mp4', '0']);
  await finish(s);
});

test('segments of the marks', async () => {
  const s = await clipsPage({ data: [] });
  const cases = [
    // [mark, length, other marks, start, end]
    [{ tipo: 'baja', segundo: 2.0 }, 60, [], 0, 5],
    [{ tipo: 'baja', segundo: 58 }, 60, [], 54, 60],
    [{ tipo: 'baja', segundo: 58 }, 0, [], 54, 61],
    [{ tipo: 'derribo', segundo: 10 }, 60, [], 5, 13],
    [{ tipo: 'baja' }, 60, [], 0, 3],
    [{ tipo: 'killcam', segundo: 30 }, 60, [{ tipo: 'derribo', segundo: 8 }, { tipo: 'derribo', segundo: 14 }, { tipo: 'derribo', segundo: 25 }, { tipo: 'fin_killcam', segundo: 41 }], 9, 41.6],
    [{ tipo: 'killcam', segundo: 30 }, 60, [{ tipo: 'derribo', segundo: 14 }], 9, 42],
    [{ tipo: 'killcam', segundo: 30 }, 40, [{ tipo: 'derribo', segundo: 14 }], 9, 40],
    [{ tipo: 'killcam', segundo: 30 }, 60, [{ tipo: 'fin_killcam', segundo: 20 }, { tipo: 'derribo', segundo: 31 }], 25, 42],
  ];
  for (const [mark, len, others, start, end] of cases) {
    const got = await s.page.evaluate(([m, l, o]) => segOf(m, l, [m, ...o]), [mark, len, others]);
    assert.ok(Math.abs(got.start - start) < 1e-9 && Math.abs(got.end - end) < 1e-9, JSON.stringify([mark, others, got]));
  }
  await finish(s);
});

test('the player: starting mark, whole clip, mark buttons, the HEVC hint', async () => {
  const m = mediaFiles();
  const data = [
    ev('muerte', TODAY, '10:00:00', { enemigo: 'ABC', clip: 'd/Muertes/k.mp4' }),
    ev('manual', TODAY, '09:00:00', { clip: 'd/Manual/m.mp4' }),
    ev('baja', TODAY, '08:00:00', { enemigo: 'h', clip: 'd/Bajas/h.mp4' }),
  ];
  const clips = {
    'd/Muertes/k.mp4': { auto: true, mic: false, duracion: 40, eventos: [
      { segundo: 30, tipo: 'killcam', enemigo: 'abc' }, { segundo: 5, tipo: 'killcam', enemigo: 'otro' }, { segundo: 12, tipo: 'fin_killcam' },
      { segundo: 25, tipo: 'derribo', enemigo: '<b>x</b>' }, { segundo: 38, tipo: 'fin_killcam' }, { segundo: 1, tipo: 'resultado' }] },
    'd/Manual/m.mp4': { auto: false, eventos: null },
    'd/Bajas/h.mp4': { auto: true, eventos: [{ segundo: 3, tipo: 'baja' }] },
  };
  const s = await clipsPage({ data, clips }, {
    clock: false, storage: { 'crvn-range': 'todo' },
    api: { '/clip': (u, b, req) => serveMedia(u.searchParams.get('ruta') === 'd/Bajas/h.mp4' ? m.hevc : m.h264, req) },
  });
  const { page } = s;
  assert.notEqual(await page.evaluate(() => document.createElement('video').canPlayType('video/mp4; codecs="avc1.640028, mp4a.40.2"')), '');
  await row(page, 0).locator('[data-act=ver]').click();
  await until(page, () => document.querySelector('#marks .mk.on'));
  const marks = await page.$$eval('#marks .mk', (b) => b.map((x) => [x.textContent, x.classList.contains('on')]));
  assert.deepEqual(marks, [['0:05 MUERTE otro', false], ['0:25 DERRIBO <b>x</b>', false], ['0:30 MUERTE abc', true]]);
  assert.equal(await page.locator('#hint').textContent(), 'Viendo 0:20 – 0:38 del clip (se repite). Archivo: d/Muertes/k.mp4');
  assert.equal(await page.locator('#ptitle').textContent(), 'k.mp4');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'pClose');
  await until(page, () => { const v = document.getElementById('vid'); return !v.paused && v.currentTime >= 20; });
  // A seek far outside the segment leaves the segment mode.
  await page.evaluate(() => { document.getElementById('vid').currentTime = 2; });
  await until(page, () => !document.querySelector('#marks .mk.on') && seg === null);
  await page.click('#pClose');
  assert.equal(await page.evaluate(() => [document.getElementById('vid').getAttribute('src'), playerOpen].join()), ',false');

  await row(page, 1).locator('[data-act=ver]').click();
  await until(page, () => document.getElementById('whole').classList.contains('on'));
  assert.equal(await page.locator('#hint').textContent(), 'Clip completo. Archivo: d/Manual/m.mp4');
  assert.equal(await page.locator('#pArch').isVisible(), false);
  assert.equal(await page.locator('#micWrap').isVisible(), false);
  await screenshot(page, 'clips-player.png');
  await page.keyboard.press('Escape');

  if (await page.evaluate(() => document.createElement('video').canPlayType('video/mp4; codecs="hvc1.1.6.L93.B0"')) === '') {
    await row(page, 2).locator('[data-act=ver]').click();
    await until(page, () => document.getElementById('hint').classList.contains('bad'));
    assert.equal(await page.locator('#hint').textContent(), 'No se pudo reproducir aquí (quizá se borró o falta el códec HEVC). Ábrelo desde la carpeta de clips.');
    assert.equal(await page.locator('#vid').isVisible(), false);
    assert.equal(await page.locator('#whole.on, #marks .mk.on').count(), 0, 'no mark left lit from the clip before');
    await screenshot(page, 'clips-hevc.png');
  } else {
    console.log('# this Chromium plays HEVC: the hint is not shown');
  }
  await finish(s);
});

test('reloads when a clip was saved wait for the player and the selection', async () => {
  const data = [ev('baja', TODAY, '10:00:00', { clip: 'd/Bajas/c.mp4' })];
  const clips = { 'd/Bajas/c.mp4': { auto: true } };
  const s = await clipsPage({ data, clips, gen: '5' });
  const { page } = s;
  const loads = countLoads(page);
  const post = (msg) => page.evaluate((m) => window.postMessage(m, location.origin), msg);
  await post({ crvn: 'clips', rev: 5 });
  await row(page, 0).locator('[data-act=ver]').click();
  await post({ crvn: 'clips', rev: 6 });
  await post({ crvn: 'visible' });
  await page.clock.runFor(500);
  assert.equal(loads.loads, 0);
  await page.click('#pClose');
  await until(page, () => document.readyState === 'complete' && typeof sel === 'object');
  assert.equal(loads.loads, 1);
  // A selection holds the reload back until it is cleared.
  await row(page, 0).locator('input.rowck').click();
  await post({ crvn: 'clips', rev: 7 });
  await page.clock.runFor(500);
  assert.equal(loads.loads, 1);
  await page.keyboard.press('Escape');
  await until(page, () => document.readyState === 'complete' && typeof sel === 'object');
  assert.equal(loads.loads, 2);
  await finish(s);
});

test('keys: Backspace in the search box edits it, Escape closes the player, then clears the selection', async () => {
  const data = [ev('baja', TODAY, '10:00:00', { clip: 'd/Bajas/c.mp4', enemigo: 'Zeta' })];
  const clips = { 'd/Bajas/c.mp4': { auto: true } };
  const s = await clipsPage({ data, clips });
  const { page } = s;
  await row(page, 0).locator('input.rowck').click();
  await page.click('#q');
  await page.keyboard.type('ze');
  await page.keyboard.press('Backspace');
  assert.equal(await page.inputValue('#q'), 'z');
  assert.equal(await page.locator('#confirm').isVisible(), false);
  await page.clock.runFor(150);
  await row(page, 0).locator('input.rowck').click();
  await row(page, 0).locator('[data-act=ver]').click();
  await page.keyboard.press('Escape');
  assert.equal(await page.evaluate(() => [playerOpen, sel.size].join()), 'false,1');
  await page.keyboard.press('Escape');
  assert.equal(await page.evaluate(() => sel.size), 0);
  await row(page, 0).locator('input.rowck').click();
  await page.locator('#list').click({ position: { x: 5, y: 5 } });
  await page.keyboard.press('Backspace');
  assert.equal(await page.locator('#cfTitle').textContent(), '¿Borrar 1 evento?');
  await finish(s);
});

test('hostile texts stay text; the disk meter; the analysis pop-up', async () => {
  const evil = '</script><!--<script>window.__x=1</script><img src=x onerror="window.__x=2">';
  const name = `d/Bajas/"${evil}.mp4`;
  const data = [ev('baja', TODAY, '10:00:00', { enemigo: evil, clip: name, medallas: [evil], mapa: evil })];
  const clips = { [name]: { auto: true, analisis: false } };
  const disk = { auto: 1932735283, auto_n: 12, archivados: 524288000, archivados_n: 1, manuales: 0, manuales_n: 0, limite: 2147483648 };
  const s = await clipsPage({ data, clips, disk }, { embed: false });
  const { page } = s;
  assert.equal(await page.evaluate(() => window.__x), undefined);
  assert.ok((await row(page, 0).innerText()).includes('Eliminaste a ' + evil));
  assert.equal(await page.locator('#top').isVisible(), true);
  assert.equal(await page.locator('#disk .txt').textContent(), '1.8 GB de 2.0 GB · 90%');
  assert.equal(await page.locator('#disk .note').textContent(), '12 automáticos · 📌 1 archivado · 500 MB (nunca se borran). Al llenarse se borran los automáticos más viejos.');
  assert.equal(await page.evaluate(() => document.querySelector('#disk .fill').className), 'fill warn');
  const [popup] = await Promise.all([page.waitForEvent('popup'), row(page, 0).locator('[data-act=ia]').click()]);
  const u = new URL(popup.url());
  assert.deepEqual([u.pathname, u.searchParams.get('t'), u.searchParams.get('clip')], ['/analisis', TOKEN, name]);
  assert.equal(await popup.evaluate(() => window.name), 'crvn_analisis');
  await popup.close();
  await finish(s);
  // Without a limit, and without the API: the alert instead of the pop-up.
  const n = await clipsPage({ data: [ev('baja', TODAY, '10:00:00', { clip: 'c.mp4' })], clips: { 'c.mp4': {} },
    disk: { auto: 10485760, auto_n: 1, archivados: 0, archivados_n: 0, manuales: 2097152, manuales_n: 2, limite: 0 }, api: null });
  assert.equal(await n.page.locator('#disk .txt').textContent(), '10 MB · sin límite');
  assert.equal(await n.page.locator('#disk .note').textContent(), '1 automáticos · 2 manuales · 2 MB (nunca se borran). Pon un límite en Configuración → Clips.');
  let alerted = null;
  n.page.once('dialog', (d) => { alerted = d.message(); d.dismiss(); });
  await row(n.page, 0).locator('[data-act=ia]').click();
  assert.equal(alerted, 'Abre Corvane (ícono junto al reloj) y vuelve a abrir los Clips para analizarlos.');
  await finish(n);
});
