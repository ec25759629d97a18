// Run by pages_clips.py against http_serve (PORT, TOKEN): loads the clips
// page five times and prints the median figures as one JSON line.
import { launch } from '../tests/e2e/pages/support.mjs';

const base = `http://127.0.0.1:${process.env.PORT}`;
const median = (a) => [...a].sort((x, y) => x - y)[Math.floor(a.length / 2)];
const browser = await launch();
const draw = [], filter = [], bytes = [], cpu = [], server = [];
let videos = 0, rows = 0;
try {
  for (let i = 0; i < 5; i++) {
    const context = await browser.newContext({ viewport: { width: 1360, height: 920 } });
    await context.addInitScript(() => localStorage.setItem('crvn-range', 'todo'));
    const page = await context.newPage();
    page.on('request', (r) => { if (new URL(r.url()).pathname === '/clip') videos++; });
    // Main-thread CPU time of the page's renderer, which a busy machine does
    // not inflate the way it does the wall-clock time.
    await page.goto(`${base}/nada`);
    const cdp = await context.newCDPSession(page);
    await cdp.send('Performance.enable', { timeDomain: 'threadTicks' });
    const busy = async () => Object.fromEntries((await cdp.send('Performance.getMetrics')).metrics.map((m) => [m.name, m.value])).TaskDuration;
    const before = await busy();
    const resp = await page.goto(`${base}/clips?t=${process.env.TOKEN}&embed=1`, { waitUntil: 'load' });
    cpu.push((await busy() - before) * 1000);
    bytes.push((await resp.body()).length / 1024);
    // The list is drawn by the page's inline script, before the load event.
    const nav = await page.evaluate(() => { const n = performance.getEntriesByType('navigation')[0]; return [n.loadEventStart - n.requestStart, n.responseEnd - n.requestStart]; });
    draw.push(nav[0]);
    server.push(nav[1]);
    rows = await page.evaluate(() => document.querySelectorAll('#list .ev').length);
    filter.push(await page.evaluate(() => {
      const t0 = performance.now();
      document.querySelector('#kinds [data-v="baja"]').click();
      return performance.now() - t0;
    }));
    for (let y = 0; y < 40; y++) {
      await page.mouse.wheel(0, 2000);
      await page.waitForTimeout(25);
    }
    await context.close();
  }
} finally {
  await browser.close();
}
console.log(JSON.stringify({ draw_ms: median(draw), draw_cpu_ms: median(cpu), reply_ms: median(server), filter_ms: median(filter), page_kib: median(bytes), videos, rows }));
