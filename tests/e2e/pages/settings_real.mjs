// Driven by test_settings_real.py against the running program (PORT, TOKEN,
// FOLDER in the environment): reads the device lists the settings page shows,
// changes every control of the page through the browser, first the settings
// applied at once and then those that wait for a restart, reads the program's
// status after each group, and at last presses "Reiniciar ahora". Prints one
// JSON line of findings for the python side to check.
import { launch } from './support.mjs';

const base = `http://127.0.0.1:${process.env.PORT}`;
const out = { errors: [], outside: [], toasts: [], failed: [] };
let restarting = false;
const browser = await launch();
try {
  const context = await browser.newContext({ viewport: { width: 1360, height: 920 } });
  const page = await context.newPage();
  page.on('pageerror', (e) => out.errors.push(e.message));
  // Once the program restarts, a refresh under way may meet the closing
  // server: the page ignores it, the browser still logs it.
  page.on('console', (m) => { if (m.type() === 'error' && !(restarting && /^Failed to load resource/.test(m.text()))) out.errors.push(m.text()); });
  page.on('requestfailed', (r) => { if (!restarting) out.failed.push(r.url() + ' ' + r.failure()?.errorText); });
  page.on('request', (r) => { const u = r.url(); if (!u.startsWith(base + '/') && !u.startsWith('data:')) out.outside.push(u); });
  await page.goto(`${base}/ajustes?t=${process.env.TOKEN}#audio`);
  await page.waitForSelector('section.card.on', { timeout: 30000 });

  const wait = (fn, arg) => page.waitForFunction(fn, arg, { timeout: 30000 });
  const idle = () => wait(() => !saving && pending.size === 0 && saveTimer === null);
  const state = () => page.evaluate(async () => (await fetch('/api/estado', { headers: { 'X-CRVN-Clave': TOKEN } })).json());
  const rowOf = (label) => page.locator('.row', { has: page.locator('.lab', { hasText: label }) }).first();
  const lastToast = async () => { await idle(); await wait(() => document.getElementById('toast').classList.contains('show')); return page.locator('#toast').textContent(); };
  const show = (id) => page.evaluate((id) => show(id), id);
  const pick = async (label, text) => {
    const sel = rowOf(label).locator('select');
    const value = await sel.evaluate((e, t) => [...e.options].find((o) => o.textContent.startsWith(t))?.value, text);
    if (value === undefined) throw new Error(`no option ${text} in ${label}`);
    await sel.selectOption(value);
  };
  const type = async (label, text) => { const i = rowOf(label).locator('input').first(); await i.fill(text); await i.press('Tab'); };
  const slide = (k, v) => page.evaluate(([k, v]) => {
    const r = controls[k];
    r.value = v;
    r.dispatchEvent(new Event('input'));
    r.dispatchEvent(new Event('change'));
  }, [k, v]);
  const toggle = (id) => page.locator('#' + id).click();

  out.devices = await page.evaluate(() => Object.fromEntries(['audio.juego', 'audio.microfono'].map((k) => [k, [...controls[k].options].map((o) => o.textContent)])));

  // Settings applied at once.
  await show('detector');
  await toggle('detector_activo');
  await type('Límite de disco', '7');
  await show('avisos');
  await pick('Posición', '↗ Arriba derecha');
  await slide('avisos.tamano', '150');
  await slide('avisos.duracion', '4.5');
  await show('ia');
  await type('Clave de Gemini', '  AIza-de-prueba  ');
  await pick('Modelo', 'gemini-3.6-flash');
  await slide('ia.fps', '5');
  out.toasts.push(await lastToast());
  out.live = await state();
  // The notice test, with notices on and then off.
  await show('avisos');
  await page.getByText('👁 Probar aviso en mi pantalla').click();
  await wait(() => /^(Mira|Los avisos)/.test(document.getElementById('toast').textContent));
  out.toasts.push(await page.locator('#toast').textContent());
  await toggle('avisos_activo');
  await idle();
  await page.getByText('👁 Probar aviso en mi pantalla').click();
  await wait(() => document.getElementById('toast').textContent.startsWith('Los avisos'));
  out.toasts.push(await page.locator('#toast').textContent());

  // Settings that wait for a restart.
  await show('grabacion');
  await pick('Perfil', 'Ligero');
  await pick('Resolución del video', '720p');
  await pick('Codec', 'H.264');
  await type('Cuadros por segundo', '24');
  await type('Bitrate', '4');
  await type('Segundos de búfer', '20.4');
  await type('Tope de RAM', '300');
  await toggle('hdr_corregir');
  await type('Blanco SDR', ' 200 ');
  await show('audio');
  await pick('Audio del juego', 'Bocinas de prueba');
  await slide('audio.volumen_juego', '150');
  await pick('Micrófono', 'Micro B');
  await toggle('audio_microfono_en_video');
  await toggle('audio_nivelar_microfono');
  await slide('audio.volumen_microfono', '250');
  await toggle('aviso_sonido');
  await slide('aviso.volumen', '40');
  await show('teclas');
  await rowOf('Guardar clip').locator('button').click();
  await page.keyboard.press('Control+Shift+KeyS');
  await type('Abrir Clips', 'Alt+F10');
  await rowOf('Buscar / instalar').locator('button').click();
  await page.keyboard.press('F9');
  await show('detector');
  await type('Tu gamertag', 'Tester_1');
  await pick('Clips automáticos', 'Solo derribos');
  await type('Segundos antes del evento', '7.5');
  await type('Segundos para cerrar la escena', '3');
  await type('Carpeta de clips', process.env.FOLDER);
  out.toasts.push(await lastToast());
  out.later = await state();
  out.restart_shown = await page.locator('#restartBox').isVisible();

  restarting = true;
  await page.locator('#restartNow').click();
  await wait(() => document.getElementById('closed'), null);
  out.closed = await page.locator('#closed').textContent();
  await context.close();
} finally {
  await browser.close();
}
console.log(JSON.stringify(out));
