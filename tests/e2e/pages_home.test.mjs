// The home page on stubbed routes: tab specs, frames and their messages, the
// tab and state polls, the banner, the save button.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openStubbed, finish, screenshot, until, settled, TOKEN } from './pages/support.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

function home(browser, hash, api, extra = {}) {
  return openStubbed(browser, { pageName: 'inicio.html', pathAndHash: `/?t=${TOKEN}${hash}`, api, ...extra });
}
const frameState = (page) => page.evaluate(() => [...document.querySelectorAll('#frames iframe')].map((f) => ({
  title: f.title, src: f.getAttribute('src'), shown: getComputedStyle(f).display !== 'none' })));

test('tab specs from the address pick the frame, its address and the section', async () => {
  const cases = [
    { hash: '#ajustes:audio', frame: { title: 'ajustes', src: `/ajustes?t=${TOKEN}&embed=1#audio`, shown: true } },
    { hash: '#nada', frame: { title: 'clips', src: `/clips?t=${TOKEN}&embed=1`, shown: true } },
    { hash: '#ayuda:x:y', frame: { title: 'ayuda', src: `/ayuda?t=${TOKEN}&embed=1#x`, shown: true } },
    { hash: '', frame: { title: 'clips', src: `/clips?t=${TOKEN}&embed=1`, shown: true } },
  ];
  for (const c of cases) {
    const s = await home(browser, c.hash, { '/api/pestana': () => ({ pestana: null, clips: 0 }), '/api/estado': () => ({ juego: null, detector: true }) });
    assert.deepEqual(await frameState(s.page), [c.frame], c.hash);
    // The address given at start-up is left as it was.
    assert.equal(await s.page.evaluate(() => location.hash), c.hash, c.hash);
    assert.equal(await s.page.locator('.tab.on').getAttribute('data-tab'), c.frame.title);
    await finish(s);
  }
});

test('a tab asked for by the server reaches an existing frame as a section message', async () => {
  const answers = [{ pestana: null, clips: 3 }, { pestana: 'ajustes:teclas', clips: 3 }, { pestana: 'clips', clips: 5 }];
  let n = 0;
  const s = await home(browser, '#ajustes', {
    '/api/pestana': () => answers[Math.min(n++, answers.length - 1)],
    '/api/estado': () => ({ juego: null, detector: true }),
  }, { clock: 'paused' });
  const { page } = s;
  await page.clock.runFor(1200);
  await until(page, () => location.hash === '#ajustes:teclas');
  const got = await page.frameLocator('iframe[title="ajustes"]').locator('body').evaluate(() => window.got);
  assert.deepEqual(got, [{ crvn: 'seccion', sec: 'teclas' }]);
  // Third poll: the clips frame is made and, the count having changed, told.
  await page.clock.runFor(1200);
  await until(page, () => document.querySelector('iframe[title="clips"]'));
  await page.clock.runFor(1200);
  const clipsGot = () => page.frameLocator('iframe[title="clips"]').locator('body').evaluate(() => window.got);
  await until(page, () => location.hash === '#clips');
  assert.equal((await frameState(page)).filter((f) => f.shown).map((f) => f.title).join(), 'clips');
  // The frame got "visible" each time the tab was shown; "clips" only when the count moved.
  const msgs = await clipsGot();
  assert.ok(msgs.every((m) => m.crvn === 'visible' || (m.crvn === 'clips' && m.rev === 5)), JSON.stringify(msgs));
  await finish(s);
});

test('the saved-clips count: the first poll records it, a change is posted to the clips frame', async () => {
  let count = 3;
  const s = await home(browser, '', { '/api/pestana': () => ({ pestana: null, clips: count }), '/api/estado': () => ({ juego: null, detector: true }) }, { clock: true });
  const { page } = s;
  const got = () => page.frameLocator('iframe[title="clips"]').locator('body').evaluate(() => window.got);
  await until(page, () => document.querySelector('iframe[title="clips"]').contentWindow.got !== undefined);
  await page.clock.runFor(1300);
  // The poll's reply taken in, then a message of the test's own behind
  // anything the page may have posted: once it has arrived, so has that.
  await settled(page);
  await page.evaluate(() => document.querySelector('iframe[title="clips"]').contentWindow.postMessage({ probe: 1 }, location.origin));
  await until(page, () => document.querySelector('iframe[title="clips"]').contentWindow.got.some((m) => m && m.probe === 1));
  assert.ok((await got()).every((m) => m.crvn !== 'clips'));
  count = 4;
  await page.clock.runFor(1200);
  await until(page, () => document.querySelector('iframe[title="clips"]').contentWindow.got.some((m) => m.crvn === 'clips'));
  assert.deepEqual((await got()).filter((m) => m.crvn === 'clips'), [{ crvn: 'clips', rev: 4 }]);
  await finish(s);
});

test('three failed tab polls show the banner, one success hides it', async () => {
  let up = true;
  const s = await home(browser, '', { '/api/pestana': () => (up ? { pestana: null, clips: 1 } : 'abort'), '/api/estado': () => ({ juego: null, detector: true }) }, { clock: 'paused' });
  const { page } = s;
  const shown = () => page.locator('#banner').isVisible();
  // Time passes only when the test says so: real time flowing between two
  // steps on a loaded machine would fire an extra poll. The poll made at load
  // succeeds before the server goes away.
  await until(page, () => lastCount === 1);
  up = false;
  const errs = s.seen.errors;
  await page.clock.runFor(2400);
  await settled(page);
  assert.equal(await page.evaluate(() => failures), 2);
  assert.equal(await shown(), false, 'two failures do not show it');
  await page.clock.runFor(1200);
  await until(page, () => getComputedStyle(document.getElementById('banner')).display !== 'none');
  assert.match(await page.locator('#banner').textContent(), /Corvane no responde\s*Se cerró o se está reiniciando/);
  await screenshot(page, 'inicio-banner.png');
  up = true;
  await page.clock.runFor(1200);
  await until(page, () => getComputedStyle(document.getElementById('banner')).display === 'none');
  // Aborted requests log network errors in the console: those are expected here.
  errs.splice(0, errs.length, ...errs.filter((e) => !/Failed to load resource|ERR_FAILED/.test(e)));
  await finish(s);
});

test('the game and detector chips follow the state poll', async () => {
  const game = { titulo: 'Call of Duty: Warzone', exe: 'cod.exe', warzone: true };
  const rows = [
    [{ juego: null, detector: false }, 'chip red', 'Detector apagado', /^Apagado: no lee la pantalla/],
    [{ juego: game, detector: true, previa: true }, 'chip gold', 'Lobby previo · no graba', /calentamiento/],
    [{ juego: game, detector: true, previa: false, juego_al_frente: true }, 'chip green', 'Detector leyendo', /^Leyendo la pantalla/],
    [{ juego: game, detector: true, juego_al_frente: false }, 'chip green', 'Detector activo', /^Activo: lee la pantalla/],
    [{ juego: null, detector: true }, 'chip', 'Detector esperando el juego', /^Encendido: empieza a leer/],
  ];
  for (const [reply, cls, text, tip] of rows) {
    const s = await home(browser, '', { '/api/pestana': () => ({ pestana: null, clips: 0 }), '/api/estado': () => reply });
    const det = s.page.locator('#chipDet');
    await until(s.page, (t) => document.getElementById('chipDet').textContent === t, text);
    assert.equal(await det.getAttribute('class'), cls, text);
    assert.match(await det.getAttribute('title'), tip);
    const g = s.page.locator('#chipGame');
    if (reply.juego) {
      assert.equal(await g.textContent(), '🎮 Call of Duty: Warzone');
      assert.equal(await g.getAttribute('title'), 'Call of Duty: Warzone (cod.exe)');
      assert.equal(await g.getAttribute('class'), 'chip gold');
    } else {
      assert.equal(await g.textContent(), 'Ningún Call of Duty abierto');
    }
    await finish(s);
  }
});

test('a game title is shown as text, never as markup', async () => {
  const s = await home(browser, '', { '/api/pestana': () => ({ pestana: null, clips: 0 }),
    '/api/estado': () => ({ juego: { titulo: '<img src=x onerror=window.pwned=1>', exe: '"a".exe', warzone: false }, detector: true }) });
  await until(s.page, () => document.getElementById('chipGame').textContent.startsWith('🎮'));
  assert.equal(await s.page.evaluate(() => [window.pwned ?? null, document.querySelectorAll('#chipGame *').length]).then(String), ',0');
  assert.equal(await s.page.locator('#chipGame').getAttribute('class'), 'chip green');
  await finish(s);
});

test('the save button: saved, refused, no answer', async () => {
  const rows = [
    [() => ({ ok: true }), 'Guardando clip… aparece en Clips en unos segundos', ''],
    [() => ({ ok: false }), 'No se pudo guardar', 'err'],
    [() => ({ status: 503, body: 'x' }), 'Corvane no responde', 'err'],
  ];
  for (const [reply, text, err] of rows) {
    const s = await home(browser, '', { '/api/pestana': () => ({ pestana: null, clips: 0 }), '/api/estado': () => ({ juego: null, detector: true }), '/api/accion': reply }, { clock: true });
    await s.page.click('#save');
    await until(s.page, (t) => document.getElementById('toast').textContent === t, text);
    assert.equal(await s.page.locator('#toast').getAttribute('class'), 'show' + (err ? ' err' : ''));
    const call = s.seen.calls.find((c) => c.path === '/api/accion');
    assert.deepEqual([call.method, call.body, call.key, call.type], ['POST', { a: 'guardar_clip' }, TOKEN, 'application/json']);
    if (!err) await screenshot(s.page, 'inicio.png');
    await s.page.clock.runFor(2500);
    await until(s.page, () => getComputedStyle(document.getElementById('toast')).display === 'none');
    s.seen.errors.splice(0, s.seen.errors.length, ...s.seen.errors.filter((e) => !/status of 503/.test(e)));
    await finish(s);
  }
});

test('the shared look: Raj loads from the page, the palette is the shared one', async () => {
  const s = await home(browser, '', { '/api/pestana': () => ({ pestana: null, clips: 0 }), '/api/estado': () => ({ juego: null, detector: true }) });
  const look = await s.page.evaluate(async () => {
    await document.fonts.load('700 16px Raj');
    const cs = getComputedStyle(document.body);
    return {
      raj700: document.fonts.check('700 16px Raj'), raj600: document.fonts.check('600 16px Raj'),
      bg: cs.backgroundColor, color: cs.color, size: cs.fontSize,
      brand: getComputedStyle(document.querySelector('.brand')).fontFamily,
      save: getComputedStyle(document.getElementById('save')).backgroundColor,
      icon: document.querySelector('link[rel=icon]').href.slice(0, 22),
    };
  });
  assert.deepEqual(look, { raj700: true, raj600: true, bg: 'rgb(8, 12, 10)', color: 'rgb(233, 239, 234)', size: '14px',
    brand: look.brand.startsWith('Raj') ? look.brand : 'Raj…', save: 'rgb(242, 194, 48)', icon: 'data:image/png;base64,' });
  await finish(s);
});
