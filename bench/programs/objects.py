# Records as objects: 1000 particles, each moved 800 times, bouncing off the walls.
class Particle:
    def __init__(self, x, y, vx, vy):
        self.x = x
        self.y = y
        self.vx = vx
        self.vy = vy
        self.bounces = 0

particles = []
seed = 1
for i in range(1000):
    seed = (seed * 75 + 74) % 65537
    x = seed % 1000
    seed = (seed * 75 + 74) % 65537
    y = seed % 1000
    particles.append(Particle(x, y, i % 7 - 3, i % 5 - 2))

for step in range(800):
    for p in particles:
        p.x = p.x + p.vx
        p.y = p.y + p.vy
        if p.x < 0 or p.x > 999:
            p.vx = -p.vx
            p.bounces = p.bounces + 1
        if p.y < 0 or p.y > 999:
            p.vy = -p.vy
            p.bounces = p.bounces + 1

total = 0
for p in particles:
    total = total + p.x + p.y + p.bounces
print(total)
